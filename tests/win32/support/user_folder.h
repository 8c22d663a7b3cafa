// A folder inside the account folder of a user with a Chinese name, C:\users\张三, as a Windows
// user's own folders are: made for one test and taken away with it (the account folder too,
// once nothing else of another test is left in it).
#pragma once

#include <windows.h>

#include <string>

#include "platform/platform.h"

namespace testing_support {

class ChineseUserFolder {
 public:
  explicit ChineseUserFolder(const std::wstring& name)
      : path_(std::wstring(kAccount) + L"\\AppData\\Local\\" + name) {
    plat::delete_tree_silently(path_);
  }
  ~ChineseUserFolder() {
    plat::delete_tree_silently(path_);
    for (const wchar_t* folder : {L"\\AppData\\Local", L"\\AppData", L""})
      RemoveDirectoryW((std::wstring(kAccount) + folder).c_str());
  }
  ChineseUserFolder(const ChineseUserFolder&) = delete;
  ChineseUserFolder& operator=(const ChineseUserFolder&) = delete;
  const std::wstring& path() const { return path_; }

  static constexpr const wchar_t* kAccount = L"C:\\users\\\u5F20\u4E09";

 private:
  std::wstring path_;
};

}  // namespace testing_support
