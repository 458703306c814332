#include <windows.h>

#include "platform/startup_entry.h"
#include "platform/win32/wide.h"

namespace vorn::platform {
namespace {

constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

std::string windows_error(const char* what, LSTATUS code) {
  return std::string(what) + ": Windows error " + std::to_string(code);
}

class Key {
 public:
  ~Key() {
    if (key_) RegCloseKey(key_);
  }
  HKEY* out() { return &key_; }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

}  // namespace

Result<std::optional<std::string>> read_startup_entry(const std::string& name) {
  using R = Result<std::optional<std::string>>;
  Key key;
  LSTATUS rc = RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_QUERY_VALUE, key.out());
  if (rc == ERROR_FILE_NOT_FOUND) return R::success(std::nullopt);
  if (rc != ERROR_SUCCESS) return R::failure(windows_error("failed to open HKCU Run key", rc));
  const std::wstring value = to_wide(name);
  DWORD type = 0, size = 0;
  rc = RegQueryValueExW(key.get(), value.c_str(), nullptr, &type, nullptr, &size);
  if (rc == ERROR_FILE_NOT_FOUND) return R::success(std::nullopt);
  if (rc != ERROR_SUCCESS) return R::failure(windows_error("failed to query HKCU Run value", rc));
  if (type != REG_SZ) return R::success(std::string());
  std::wstring data((size + 1) / 2, L'\0');
  DWORD read = static_cast<DWORD>(data.size() * 2);
  rc = RegQueryValueExW(key.get(), value.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &read);
  if (rc != ERROR_SUCCESS) return R::failure(windows_error("failed to read HKCU Run value", rc));
  data.resize(read / 2);
  std::size_t zero = data.find(L'\0');
  if (zero != std::wstring::npos) data.resize(zero);
  return R::success(from_wide(data));
}

MaybeError write_startup_entry(const std::string& name, const std::string& command) {
  Key key;
  LSTATUS rc = RegCreateKeyExW(HKEY_CURRENT_USER, kRunKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                               key.out(), nullptr);
  if (rc != ERROR_SUCCESS) return windows_error("failed to open HKCU Run key for writing", rc);
  const std::wstring data = to_wide(command);
  rc = RegSetValueExW(key.get(), to_wide(name).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                      static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
  if (rc != ERROR_SUCCESS) return windows_error("failed to write HKCU Run value", rc);
  return std::nullopt;
}

MaybeError delete_startup_entry(const std::string& name) {
  Key key;
  LSTATUS rc = RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_SET_VALUE, key.out());
  if (rc == ERROR_FILE_NOT_FOUND) return std::nullopt;
  if (rc != ERROR_SUCCESS) return windows_error("failed to open HKCU Run key for deletion", rc);
  rc = RegDeleteValueW(key.get(), to_wide(name).c_str());
  if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return windows_error("failed to delete HKCU Run value", rc);
  return std::nullopt;
}

}  // namespace vorn::platform
