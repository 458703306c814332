#pragma once
// Reads the options file off the window thread: at start-up, then again
// whenever its size or modification time changes, or it appears or
// disappears. Each read arrives as an OptionsRead event.
#include <chrono>
#include <optional>
#include <string>

#include "core/channel.h"
#include "core/worker_event.h"
#include "platform/files.h"
#include "platform/gui.h"

namespace vorn {

// How often the file's size and modification time are looked at.
inline constexpr std::chrono::milliseconds kOptionsCheckPeriod{1000};

struct OptionsWatch {
  std::string path;
  Channel<WorkerEvent>::Sender sender;
  platform::gui::NoticeTarget notice;
  std::chrono::milliseconds period = kOptionsCheckPeriod;
};

// Reads the file as it is now (`stamp` as just taken): Loaded, Failed or
// Absent. A file over the limit is refused without being read.
OptionsRead read_options_file(const std::string& path, const std::optional<platform::FileStamp>& stamp);

// The watcher's body: the first read, then one look per period; returns
// once the receiving end is gone.
void run_options_watch(OptionsWatch watch);

// Runs the watcher as the "options" worker. A failure inside it arrives as
// a Failed read saying that the reader stopped.
void start_options_watch(OptionsWatch watch);

}  // namespace vorn
