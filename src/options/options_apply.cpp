#include "options/options_apply.h"

#include "core/crash_guard.h"

namespace vorn {
namespace {

void use_options(AppCore& core, Options options, bool from_file) {
  core.options = std::move(options);
  core.options_from_file = from_file;
  ++core.options_generation;
}

}  // namespace

void handle_options_read(AppCore& core, OptionsRead read) {
  switch (read.kind) {
    case OptionsRead::Kind::Loaded:
      if (!read.options) raise_failure("options read without options");
      use_options(core, *read.options, true);
      log_line(core, "Options loaded: " + options_summary(core.options));
      return;
    case OptionsRead::Kind::Failed:
      if (read.first) {
        use_options(core, Options{}, false);
        log_line(core, "Options not loaded: " + read.error + "; using the defaults");
      } else {
        log_line(core, "Options not loaded: " + read.error + "; the previous options stay in use");
      }
      return;
    case OptionsRead::Kind::Absent:
      use_options(core, Options{}, false);
      if (!read.first) log_line(core, "Options file removed; using the defaults");
      return;
  }
}

}  // namespace vorn
