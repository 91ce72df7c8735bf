#include "tvsPlugin.h"

#include <cinttypes>
#include <cstdio>

#include "tvLog.h"
#include "tvTerm.h"

namespace {

const char kLibraryName[] = "tavrin-sink-sqlite";
const char kDisplayName[] = "Tavrin SQLite Sink Plugin";
const char kVersion[] = "1.2.3";

}  // namespace

tvsPlugin::tvsPlugin(const std::string& tag_, const std::map<std::string, std::string>& params)
    : tvPluginSink(tag_, params) {
  tv_dprintf("%s: initialized\n", tag.c_str());
}

tvsPlugin::~tvsPlugin() {
  Join();
  tv_dprintf("%s: destroyed\n", tag.c_str());
}

void* tvsPlugin::Entry() {
  tv_printf("%s: %s v%s\n", tag.c_str(), kDisplayName, kVersion);
  if (terminate_requested) return nullptr;

  std::shared_ptr<tvPluginSinkPayload> payload;
  while (!terminate_requested) {
    if (reload_requested) {
      Reload();
      {
        std::lock_guard<std::mutex> guard(status_lock);
        rows_added = 0;
      }
      reload_requested = false;
    }
    if (WaitOnPayloadQueue(1) == 0) continue;
    while (PopPayloadQueue(payload)) WritePayload(payload);
    payload.reset();
  }
  return nullptr;
}

void tvsPlugin::GetLibrary(std::string& library) { library = kLibraryName; }
void tvsPlugin::GetName(std::string& display_name) { display_name = kDisplayName; }
void tvsPlugin::GetVersion(std::string& version) { version = kVersion; }

void tvsPlugin::GetStatus(nlohmann::json& status) {
  std::lock_guard<std::mutex> guard(status_lock);
  status["entries"] = rows_added;
}

void tvsPlugin::DisplayStatus(const nlohmann::json& status) {
  if (!status.is_object()) return;
  const auto entries = status.find("entries");
  if (entries == status.end() || !entries->is_number_unsigned()) return;
  std::fprintf(stdout, "%s rows added: %u\n", tvTerm::Icon::INFO, entries->get<uint32_t>());
}

void tvsPlugin::DispatchEvent(Event event, void* /*argument*/) {
  if (event == EVENT_RELOAD) reload_requested = true;
}

void tvsPlugin::WritePayload(const std::shared_ptr<tvPluginSinkPayload>& payload) {
  for (const std::string& channel_name : payload->channel_names) {
    const auto it = channels.find(channel_name);
    if (it == channels.end()) {
      tv_dprintf("%s: channel not found: %s\n", tag.c_str(), channel_name.c_str());
      continue;
    }
    const std::string text =
        payload->data_length ? std::string(reinterpret_cast<const char*>(payload->data),
                                           static_cast<size_t>(payload->data_length))
                             : std::string();
    AddRows(it->second->InsertPayload(text));
  }
}

void tvsPlugin::AddRows(int rows) {
  if (rows <= 0) return;
  std::lock_guard<std::mutex> guard(status_lock);
  // Saturates: the count only grows and must never wrap.
  rows_added = rows > kMaxRowsAdded - rows_added ? kMaxRowsAdded : rows_added + rows;
}
