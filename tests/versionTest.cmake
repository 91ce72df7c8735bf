# The top entry of debian/changelog is the project's version, or a snapshot
# after it ("<version>+git", which scripts/package.sh completes).
file(STRINGS "${CHANGELOG}" top LIMIT_COUNT 1)
if(NOT top MATCHES "^[^ ]+ \\(([^)+]+)(\\+git)?\\) ")
  message(FATAL_ERROR "debian/changelog begins with no version: ${top}")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL VERSION)
  message(FATAL_ERROR "debian/changelog's top entry is ${CMAKE_MATCH_1}, the project is ${VERSION}")
endif()
