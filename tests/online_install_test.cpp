// Online installs end to end: the real installer built against a loopback update server
// (morvell-installer-loopback), the tests' HTTPS server on 127.0.0.1:47443 with a certificate
// authority made for the test, and the Install button pressed for each kind of release.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <map>
#include <string>

#include "catalogue/download.h"
#include "support/gui_driver.h"
#include "support/https_fixture.h"
#include "support/helpers.h"
#include "support/log_reader.h"

using namespace testing_support;

namespace {

// The update server of morvell-installer-loopback: the tests' HTTPS server on 127.0.0.1:47443.
struct UpdateServer : HttpsServer {
  explicit UpdateServer(const std::string& root_dir) : HttpsServer(root_dir, 47443) {
    run_shell("mkdir -p '" + root_dir + "/updates' '" + root_dir + "/files'");
  }
  std::string url(const std::string& path) const { return HttpsServer::url("/" + path); }
  void releases(const std::string& json) const { write_text(root() + "/updates/releases.json", json); }
};

std::string sha256_of(const std::string& path) {
  return capture_shell("sha256sum '" + path + "' | cut -c1-64 | tr -d '\\n'");
}

std::string entry(const std::string& version, const std::string& file_name, const std::string& url,
                  const std::string& sha256, const std::string& kind) {
  return "{\"version\": \"" + version + "\", \"file_name\": \"" + file_name + "\", \"download_url\": \"" + url +
         "\", \"sha256\": \"" + sha256 + "\", \"kind\": \"" + kind + "\", \"release_notes\": \"Morvell " + version +
         "\"}";
}

}  // namespace

TEST(InstallWindow, OnlineInstallAgainstALoopbackServer) {
  Desk desk;
  REQUIRE_X(desk);
  const std::string root = desk.dir / "server";
  run_shell("mkdir -p '" + root + "'");
  UpdateServer server(root);
  ASSERT_TRUE(server.running()) << "port 47443 is taken?";
  // The installer runs from a folder of its own, so that its work directory is the test's.
  const std::string installer = desk.dir / "online/morvell-installer";
  const std::string work = desk.dir / "online/Morvell-Installer-Temp";
  ASSERT_EQ(run_shell("mkdir -p '" + desk.dir.path() + "/online' && cp '" + kLoopback + "' '" + installer + "'"), 0);
  const std::map<std::string, std::string> trust = {{"SSL_CERT_FILE", server.ca_file()}};

  const std::string zip = server.root() + "/files/Morvell-6.1.17.zip";
  ASSERT_EQ(run_shell("cp '" + kNew + "' '" + zip + "'"), 0);
  const std::string setup = desk.pack(kNew, "Morvell-Setup.exe");
  ASSERT_EQ(run_shell("cp '" + setup + "' '" + server.root() + "/files/Morvell-Setup.exe'"), 0);
  write_text(server.root() + "/files/elsewhere/installer", "#!/bin/sh\nexit 0\n");
  write_text(server.root() + "/files/failing/Setup.EXE", "#!/bin/sh\nexit 3\n");
  const std::string digest = sha256_of(zip);
  ASSERT_EQ(digest.size(), 64u);
  std::string upper = digest;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

  size_t dialogs = 0;
  // Every run appends to one log.
  const std::string install_log = desk.dir / "logs/online.log";
  // Runs the window with the manifest, presses Install and returns the dialog's line.
  auto press_install = [&](const std::string& manifest, const std::string& dir, bool succeeds) {
    server.releases(manifest);
    Gui gui(desk, installer, {"--install-dir", dir, "--log", install_log}, trust);
    EXPECT_TRUE(gui.wait_window());   // the version list has been read from the server
    gui.press_action();
    EXPECT_TRUE(gui.dismiss_dialog(++dialogs));
    if (succeeds) {
      EXPECT_EQ(gui.wait_exit(), 0);
    } else {
      plat::sleep_ms(300);
      EXPECT_FALSE(gui.has_exited());
      gui.press_cancel();
      EXPECT_EQ(gui.wait_exit(), 0);
    }
    EXPECT_FALSE(exists(work));
    auto lines = desk.dialogs();
    return lines.size() == dialogs ? lines.back() : std::string("(no dialog)");
  };

  // A zip release with its digest: downloaded, checked, installed; the first entry is the default.
  // Its address carries credentials, which the log leaves out.
  const std::string a = desk.dir / "A";
  const std::string with_credentials = "https://fleet:s3cret@" + server.url("files/Morvell-6.1.17.zip").substr(8);
  EXPECT_EQ(press_install("{\"releases\": [" + entry("6.1.17", "Morvell-6.1.17.zip", with_credentials, digest, "portable") +
                              ", " + entry("6.1.16", "Morvell-6.1.16.zip", server.url("files/none.zip"), "", "") + "]}",
                          a, true),
            "info Morvell 安装完成");
  EXPECT_EQ(read_text(a + "/version.txt"), "6.1.17\n");
  EXPECT_TRUE(exists(a + "/install-info.json"));
  EXPECT_TRUE(read_text(a + "/bin/Morvell-Uninstall.exe") == read_text(installer));   // the online program, whole
  const std::string zip_size = std::to_string(read_text(zip).size());
  EXPECT_TRUE(logged_in_order(log_events(read_text(install_log)), {
      "运行模式：online", "HTTP GET " + server.url("updates/releases.json") + "：完成，状态 200，",
      "HTTP GET " + server.url("files/Morvell-6.1.17.zip") + "：完成，状态 200，长度 " + zip_size + " 字节，收到 " + zip_size + " 字节，",
      "状态：正在替换程序文件...", "已写入安装记录：" + a + "/install-info.json", "提示：Morvell 安装完成", "退出码：0"}));
  EXPECT_EQ(read_text(install_log).find("s3cret"), std::string::npos);

  // The same package over a connection that breaks half-way: the rest is asked for after 1 s,
  // the digest holds and it installs.
  const std::string a2 = desk.dir / "A2";
  const std::string half = std::to_string(read_text(zip).size() / 2);
  const std::string cut_url = server.url("_/resumable?key=half&file=files/Morvell-6.1.17.zip&times=1&cuts=" + half);
  EXPECT_EQ(press_install("{\"releases\": [" + entry("6.1.17", "Morvell-6.1.17.zip", cut_url, digest, "portable") + "]}",
                          a2, true),
            "info Morvell 安装完成");
  EXPECT_EQ(read_text(a2 + "/version.txt"), "6.1.17\n");
  std::string log;
  std::wstring error;
  EXPECT_TRUE(http_download(server.url("_/log?key=half"), &log, std::wstring(), error));
  EXPECT_EQ(log, "200 - -\n206 bytes=" + half + "- \"v1\"\n");
  EXPECT_TRUE(logged_in_order(log_events(read_text(install_log)), {
      "安装目录：" + a2 + "，", "HTTP GET " + cut_url + "：未完成（", "HTTP GET " + cut_url + "（从第 " + half + " 字节续传）：完成，状态 206，",
      "退出码：0"}));

  // The digest written in capitals never matches: nothing is unpacked.
  const std::string b = desk.dir / "B";
  EXPECT_EQ(press_install("{\"releases\": [" + entry("6.1.17", "Morvell-6.1.17.zip", server.url("files/Morvell-6.1.17.zip"), upper, "") + "]}",
                          b, false),
            "error 安装包校验失败。");
  EXPECT_FALSE(exists(b));
  EXPECT_FALSE(exists(b + ".new"));

  // An installer program: downloaded, made executable, run silently for the chosen directory.
  const std::string c = desk.dir / "C dir";
  EXPECT_EQ(press_install("{\"releases\": [" + entry("6.1.17", "Morvell-Setup-6.1.17.exe", server.url("files/Morvell-Setup.exe"),
                                                   sha256_of(setup), "installer") + "]}",
                          c, true),
            "info Morvell 安装完成");
  EXPECT_EQ(read_text(c + "/version.txt"), "6.1.17\n");
  EXPECT_TRUE(read_text(c + "/bin/Morvell-Uninstall.exe") == read_text(kInstaller));   // the child's program part
  // The child installer appends its own lines to the same log while the window waits for it.
  EXPECT_TRUE(logged_in_order(log_events(read_text(install_log)), {
      "安装目录：" + c + "，", "启动外部程序：" + work + "/Morvell-download-installer.exe --offline --silent-install --install-dir \"" + c + "\" --log \"" + install_log + "\"",
      "运行模式：offline，更新：否，静默安装：是，安装目录：" + c + "，", "已写入安装记录：" + c + "/install-info.json", "退出码：0",
      "外部程序结束：" + work + "/Morvell-download-installer.exe，退出码 0", "提示：Morvell 安装完成", "退出码：0"}));

  // An address ending in /installer is an installer program too; this one installs nothing.
  const std::string d = desk.dir / "D";
  EXPECT_EQ(press_install("{\"releases\": [" + entry("6.1.17", "Morvell.zip", server.url("files/elsewhere/installer"), "", "") + "]}",
                          d, false),
            "error 安装包没有安装到所选目录，请重新选择安装位置后重试。");
  EXPECT_FALSE(exists(d + "/bin/Morvell.exe"));

  // A file name ending in .EXE: an installer program, which fails with code 3.
  EXPECT_EQ(press_install("{\"releases\": [" + entry("6.1.17", "Setup.EXE", server.url("files/failing/Setup.EXE"), "", "") + "]}",
                          d, false),
            "error 外部进程执行失败。");
  const std::vector<std::string> events = log_events(read_text(install_log));
  EXPECT_TRUE(logged_in_order(events, {"启动外部程序：" + work + "/Morvell-download-installer.exe --offline --silent-install",
                                       "外部程序结束：" + work + "/Morvell-download-installer.exe，退出码 3",
                                       "失败：[正在安装 Morvell...] 外部进程执行失败。", "退出码：0"}));
  EXPECT_EQ(count_logged(events, "MALFORMED"), 0u);

  // No version list at all: the press asks for a version.
  EXPECT_EQ(press_install("not json", d, false), "error 请选择要安装的版本。");
  wait_until(30000, [&] { return desk.launches() >= 3; });
  EXPECT_EQ(desk.launches(), 3u);   // the two zip installs and the child installer each started it once
}
