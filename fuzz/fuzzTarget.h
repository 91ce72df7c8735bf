// The entry point every fuzz target defines: libFuzzer calls it with each
// input, and fuzzMain.cpp does when a target is built to replay a corpus.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
