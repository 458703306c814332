#include "scan/scan_types.h"

namespace vorn {

const char* folder_status_text(FolderStatus status) {
  switch (status) {
    case FolderStatus::Missing: return "missing";
    case FolderStatus::NoPlots: return "no plots";
    case FolderStatus::Normal: return "normal";
    case FolderStatus::NotResponding: return "not responding";
  }
  return "missing";
}

}  // namespace vorn
