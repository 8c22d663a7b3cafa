// How long the window goes without a turn of its event loop during each long flow.
//
// usage: responsiveness_bench [--window] [--rounds N] [--megabytes M] [--files F] [--work DIR] [flow ...]
// flows: idle (the reference: 20 ms sleeps only) hash extract-bsdtar extract-unzip extract-libarchive install update download payload
//        instances-exit instances-kill (default: all of them)
//
// Every pump_events is timed with a steady clock. For each flow it prints the longest gap between
// two turns (the flow's start and end count as turns: the flow runs inside one), the 99th
// percentile of the gaps, how many exceed the 100 ms goal, and the spread of the longest gap
// over the rounds, with the status text shown right after the longest gap. "own" is the longest
// gap less the time the process spent waiting for a processor (/proc/self/schedstat) in it: the
// part that the installer's own work causes rather than other programs on a busy machine.
// Each round's line also names the system operations asked for during its longest gap. With --window the
// installer window is built first so that every turn does real toolkit work (needs a display:
// run under xvfb-run). --work DIR keeps the generated package there for the next run.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "app/ui.h"
#include "app/window.h"
#include "bench_package.h"
#include "catalogue/download.h"
#include "common/state.h"
#include "common/strings.h"
#include "flows/update.h"
#include "install/instances.h"
#include "install/record.h"
#include "install/transaction.h"
#include "install/unpack.h"
#include "package/payload.h"
#include "package/verify.h"
#include "package/workdir.h"
#include "platform/platform.h"

namespace {

using bench::quoted;
using bench::shell;
using Clock = std::chrono::steady_clock;

constexpr double kGoalMs = 100.0;

double ms_between(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

// Milliseconds this process has run on a processor and spent runnable but waiting for one (the
// first two fields of /proc/self/schedstat), and the time the hypervisor took from the machine's
// virtual processors, all of them together (the steal field of /proc/stat, in 10 ms ticks).
// Waiting and stolen time are what the rest of the machine adds to a gap.
struct CpuTimes {
  double on_cpu = 0.0, waiting = 0.0, stolen = 0.0;
};
// The start of a /proc file, read afresh (unbuffered: a buffered stream would seek within stale data).
std::string proc_head(FILE* file) {
  char buffer[256];
  if (!file) return std::string();
  std::rewind(file);
  size_t n = std::fread(buffer, 1, sizeof buffer - 1, file);
  return std::string(buffer, n);
}

FILE* open_unbuffered(const char* path) {
  FILE* file = std::fopen(path, "r");
  if (file) std::setvbuf(file, nullptr, _IONBF, 0);
  return file;
}

CpuTimes cpu_times() {
  static FILE* schedstat = open_unbuffered("/proc/self/schedstat");
  static FILE* stat = open_unbuffered("/proc/stat");
  CpuTimes t;
  unsigned long long on_cpu = 0, waiting = 0;
  if (std::sscanf(proc_head(schedstat).c_str(), "%llu %llu", &on_cpu, &waiting) == 2) {
    t.on_cpu = static_cast<double>(on_cpu) / 1e6;
    t.waiting = static_cast<double>(waiting) / 1e6;
  }
  unsigned long long user, nice, system, idle, iowait, irq, softirq, steal;
  if (std::sscanf(proc_head(stat).c_str(), "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &user, &nice, &system, &idle,
                  &iowait, &irq, &softirq, &steal) == 8)
    t.stolen = static_cast<double>(steal) * 10.0;
  return t;
}

// The gaps of one flow.
struct Recorder {
  bool active = false;
  Clock::time_point begin, last;
  CpuTimes last_times;
  std::vector<double> gaps;
  double longest = 0.0, longest_waited = 0.0;   // the longest gap, and its time waiting for a processor
  double longest_on_cpu = 0.0;                  // and its time running
  double longest_stolen = 0.0;                  // and the machine's stolen time in it
  double longest_own = 0.0;                     // the longest gap less its time waiting for a processor
  std::wstring status_after_longest;
  std::string ops, ops_in_longest;              // system operations asked for since the last turn

  void start() {
    ops.clear();
    ops_in_longest.clear();
    gaps.clear();
    longest = longest_waited = longest_own = longest_on_cpu = longest_stolen = 0.0;
    status_after_longest.clear();
    last_times = cpu_times();
    begin = last = Clock::now();
    active = true;
  }
  void turn() {
    Clock::time_point now = Clock::now();
    const CpuTimes times = cpu_times();
    const double waited = times.waiting - last_times.waiting;
    double gap = ms_between(last, now);
    gaps.push_back(gap);
    if (gap > longest) {
      longest = gap;
      longest_waited = waited;
      longest_on_cpu = times.on_cpu - last_times.on_cpu;
      longest_stolen = times.stolen - last_times.stolen;
      status_after_longest = ui_trace.last_status;
      ops_in_longest = ops;
    }
    ops.clear();
    longest_own = std::max(longest_own, gap - waited);
    last = now;
    last_times = times;
  }
  void stop() {
    turn();
    active = false;
  }
};

Recorder recorder;

void on_pump() {
  if (recorder.active) recorder.turn();
}

// Every file-system and process operation passes the fault seam: note its name (repeats once).
bool on_operation(const char* op, const std::wstring&) {
  if (!recorder.active) return false;
  std::string& ops = recorder.ops;
  const std::string name = std::string(op) + " ";
  if (ops.size() < 200 && (ops.size() < name.size() || ops.compare(ops.size() - name.size(), name.size(), name) != 0))
    ops += name;
  return false;
}

struct RoundResult {
  bool ok = false;
  double seconds = 0.0, longest = 0.0, p99 = 0.0, longest_waited = 0.0, longest_on_cpu = 0.0, longest_own = 0.0;
  double longest_stolen = 0.0;
  size_t turns = 0, over_goal = 0;
  std::wstring status;
  std::string ops;
};

RoundResult finish_round(bool ok) {
  recorder.stop();
  RoundResult r;
  r.ok = ok;
  r.seconds = ms_between(recorder.begin, recorder.last) / 1000.0;
  r.turns = recorder.gaps.size();
  r.longest = recorder.longest;
  r.longest_waited = recorder.longest_waited;
  r.longest_on_cpu = recorder.longest_on_cpu;
  r.longest_stolen = recorder.longest_stolen;
  r.longest_own = recorder.longest_own;
  r.status = recorder.status_after_longest;
  r.ops = recorder.ops_in_longest;
  std::vector<double> sorted = recorder.gaps;
  std::sort(sorted.begin(), sorted.end());
  if (!sorted.empty()) r.p99 = sorted[std::min(sorted.size() - 1, sorted.size() * 99 / 100)];
  for (double g : recorder.gaps)
    if (g > kGoalMs) ++r.over_goal;
  return r;
}

template <typename T>
T median_of(std::vector<T> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

struct Setup {
  std::string root, zip, path, installer, setup_file, url, ca;
  std::string server_pid_file;
  bool window = false;
};

std::string read_text(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A folder that offers only the named tools on PATH (none: an empty folder).
std::string tool_folder(const Setup& s, const std::string& name, const std::vector<std::string>& tools) {
  const std::string dir = s.root + "/path-" + name;
  std::string command = "rm -rf " + quoted(dir) + " && mkdir -p " + quoted(dir);
  for (const std::string& tool : tools) command += " && ln -s \"$(command -v " + tool + ")\" " + quoted(dir + "/" + tool);
  return shell(command) == 0 ? dir : std::string();
}

// An installation of the package with a user configuration, as the flows find it.
// An installation of the package with its record, so that the install and the update accept it.
bool put_installation(const Setup& s, const std::string& dir) {
  return shell("rm -rf " + quoted(dir) + " && mkdir -p " + quoted(dir) + " && bsdtar -xf " + quoted(s.zip) + " -C " +
               quoted(dir) + " && echo user > " + quoted(dir + "/config/user.ini")) == 0 &&
         write_install_record(plat::utf8_to_wide(dir)) && shell("sync") == 0;
}

// The HTTPS file server of bench/file_server.py with a certificate authority of its own.
bool start_server(Setup& s, const std::string& bench_dir) {
  const std::string certs = s.root + "/certs";
  const std::string quiet = " >/dev/null 2>&1";
  std::string c = "mkdir -p " + quoted(certs) + " && cd " + quoted(certs) +
                  " && printf 'subjectAltName=IP:127.0.0.1\\nbasicConstraints=CA:FALSE\\nextendedKeyUsage=serverAuth\\n' > server.ext"
                  " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ca.key -out ca.pem"
                  " -days 2 -subj '/CN=Bench CA' -addext basicConstraints=critical,CA:TRUE" + quiet +
                  " && openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout server.key"
                  " -out server.csr -subj /CN=127.0.0.1" + quiet +
                  " && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem"
                  " -days 2 -extfile server.ext" + quiet;
  if (shell(c) != 0) return false;
  s.ca = certs + "/ca.pem";
  const std::string ready = s.root + "/server.out";
  s.server_pid_file = s.root + "/server.pid";
  c = "python3 " + quoted(bench_dir + "/file_server.py") + " " + quoted(s.zip) + " --cert " + quoted(certs + "/server.pem") +
      " --key " + quoted(certs + "/server.key") + " > " + quoted(ready) + " 2>/dev/null & echo $! > " +
      quoted(s.server_pid_file);
  if (shell(c) != 0) return false;
  for (int i = 0; i < 100; ++i) {   // at most 10 s
    std::string line = read_text(ready);
    if (line.rfind("ready ", 0) == 0 && line.find('\n') != std::string::npos) {
      s.url = "https://127.0.0.1:" + line.substr(6, line.find('\n') - 6) + "/package.zip";
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

void stop_server(const Setup& s) {
  if (!s.server_pid_file.empty()) shell("kill $(cat " + quoted(s.server_pid_file) + ") 2>/dev/null");
}

// One round of one flow; preparation and clean-up are not timed.
RoundResult run_flow(const std::string& flow, Setup& s) {
  std::wstring error;
  const std::string saved_path = plat::environment_value("PATH");
  if (flow == "idle") {
    // The reference: nothing but 20 ms sleeps between turns, for 3 s. Its longest gap is what
    // this machine adds to any wait (timer slack, other programs, a stolen virtual processor).
    recorder.start();
    sleep_with_events(3000);
    return finish_round(true);
  }
  if (flow == "hash") {
    std::string digest;
    recorder.start();
    bool ok = sha256_file_hex(plat::utf8_to_wide(s.zip), digest);
    return finish_round(ok && digest.size() == 64);
  }
  if (flow.rfind("extract-", 0) == 0) {
    const std::string method = flow.substr(8);
    std::vector<std::string> tools;
    if (method == "bsdtar") tools = {"bsdtar"};
    if (method == "unzip") tools = {"unzip"};
    const std::string only = tool_folder(s, method, tools);
    const std::string dest = s.root + "/extracted";
    shell("rm -rf " + quoted(dest) + " && sync");
    setenv("PATH", only.c_str(), 1);
    recorder.start();
    bool ok = extract_archive(plat::utf8_to_wide(s.zip), plat::utf8_to_wide(dest), error);
    RoundResult r = finish_round(ok);
    setenv("PATH", saved_path.c_str(), 1);
    shell("rm -rf " + quoted(dest));
    return r;
  }
  if (flow == "install") {
    const std::string dir = s.root + "/Morvell";
    if (!put_installation(s, dir)) return RoundResult();
    recorder.start();
    bool ok = install_package(plat::utf8_to_wide(s.zip), plat::utf8_to_wide(dir), InstallOptions::choosing(false, false, false), error);
    RoundResult r = finish_round(ok);
    shell("rm -rf " + quoted(dir));
    return r;
  }
  if (flow == "update") {
    const std::string dir = s.root + "/Morvell", package = s.root + "/update.zip";
    if (!put_installation(s, dir) || shell("cp " + quoted(s.zip) + " " + quoted(package) + " && sync") != 0)
      return RoundResult();
    install_options.install_dir = dir;
    install_options.package_path = package;
    install_options.launch_after_install = false;   // the update's own work: no start to watch
    exit_code = -1;
    recorder.start();
    run_update();
    RoundResult r = finish_round(exit_code == 0);
    shell("rm -rf " + quoted(dir) + " " + quoted(package));
    return r;
  }
  if (flow == "download") {
    if (s.url.empty()) return RoundResult();
    const std::string dest = s.root + "/downloaded.zip";
    recorder.start();
    bool ok = http_download(s.url, nullptr, plat::utf8_to_wide(dest), error);
    RoundResult r = finish_round(ok);
    shell("rm -f " + quoted(dest));
    return r;
  }
  if (flow == "payload") {
    set_work_program_path(plat::utf8_to_wide(s.setup_file));
    std::wstring package;
    recorder.start();
    bool ok = extract_offline_payload(package, error);
    RoundResult r = finish_round(ok);
    if (!package.empty()) plat::delete_file(package);
    set_work_program_path(plat::utf8_to_wide(s.installer));
    return r;
  }
  if (flow == "instances-exit" || flow == "instances-kill") {
    // A copy of sleep started as <dir>/bin/Morvell.exe: it ends by itself after 2 s, or stays.
    const std::string dir = s.root + "/running", exe = dir + "/bin/Morvell.exe";
    if (shell("rm -rf " + quoted(dir) + " && mkdir -p " + quoted(dir + "/bin") + " && cp \"$(command -v sleep)\" " +
              quoted(exe)) != 0)
      return RoundResult();
    plat::ProcessHandle child = plat::kNoProcess;
    if (!plat::start_process(plat::utf8_to_wide(exe), {flow == "instances-exit" ? L"2" : L"600"}, false, child))
      return RoundResult();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));   // until it runs as Morvell.exe
    recorder.start();
    bool ok = close_running_instances(plat::utf8_to_wide(dir), error);
    RoundResult r = finish_round(ok);
    uint32_t code = 0;
    if (plat::wait_process(child, 5000, code) != plat::WaitResult::Exited) r.ok = false;
    shell("rm -rf " + quoted(dir));
    return r;
  }
  std::fprintf(stderr, "unknown flow %s\n", flow.c_str());
  return RoundResult();
}

}  // namespace

int main(int argc, char** argv) {
  use_toolkit_front_end();
  Setup s;
  int rounds = 3;
  uint64_t megabytes = 200;
  unsigned files = 5000;
  std::string keep;
  std::vector<std::string> flows;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--window") s.window = true;
    else if (a == "--rounds" && i + 1 < argc) rounds = std::max(1, std::atoi(argv[++i]));
    else if (a == "--megabytes" && i + 1 < argc) megabytes = std::strtoull(argv[++i], nullptr, 10);
    else if (a == "--files" && i + 1 < argc) files = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
    else if (a == "--work" && i + 1 < argc) keep = argv[++i];
    else flows.push_back(a);
  }
  if (flows.empty())
    flows = {"idle", "hash", "extract-bsdtar", "extract-unzip", "extract-libarchive", "install", "update",
             "download", "payload", "instances-exit", "instances-kill"};

  if (s.window) {
    if (!init_toolkit(argc, argv)) {
      std::fprintf(stderr, "--window needs a display (xvfb-run -a ...)\n");
      return 1;
    }
    run_mode = RunMode::Offline;
    build_installer_window();
    pump_events();
  }

  std::string base = plat::environment_value("TMPDIR");
  if (base.empty()) base = "/tmp";
  if (keep.empty()) {
    std::string templ = base + "/morvell-responsiveness-XXXXXX";
    if (!mkdtemp(&templ[0])) {
      std::fprintf(stderr, "cannot create a work directory under %s\n", base.c_str());
      return 1;
    }
    s.root = templ;
  } else {
    s.root = keep;
    shell("mkdir -p " + quoted(keep));
  }
  // Shortcuts and the launch are off; the home is private all the same.
  setenv("HOME", (s.root + "/home").c_str(), 1);
  unsetenv("XDG_DATA_HOME");
  unsetenv("XDG_CONFIG_HOME");

  s.zip = s.root + "/package.zip";
  if (shell("test -s " + quoted(s.zip)) != 0) {
    std::printf("generating %llu MB in %u files...\n", static_cast<unsigned long long>(megabytes), files);
    if (!bench::make_package(s.root, megabytes, files, s.zip)) {
      std::fprintf(stderr, "cannot build the package (zip installed?)\n");
      return 1;
    }
  }
  // The work directory of the installer lies beside its program: keep it in the work area.
  s.installer = s.root + "/installer/morvell-installer";
  shell("mkdir -p " + quoted(s.root + "/installer") + " && cp " + quoted(MORVELL_INSTALLER) + " " + quoted(s.installer));
  set_work_program_path(plat::utf8_to_wide(s.installer));
  bool wants_payload = std::find(flows.begin(), flows.end(), "payload") != flows.end();
  bool wants_download = std::find(flows.begin(), flows.end(), "download") != flows.end();
  if (wants_payload) {
    s.setup_file = s.root + "/installer/Setup";
    if (shell(quoted(MORVELL_PACK) + " --installer " + quoted(s.installer) + " --package " + quoted(s.zip) +
              " --output " + quoted(s.setup_file) + " >/dev/null") != 0) {
      std::fprintf(stderr, "morvell-pack failed\n");
      return 1;
    }
  }
  if (wants_download) {
    if (!start_server(s, MORVELL_BENCH_DIR)) std::fprintf(stderr, "the loopback server did not start\n");
    setenv("SSL_CERT_FILE", s.ca.c_str(), 1);
  }

  pump_observer = &on_pump;
  plat::set_fault_hook(&on_operation);
  std::map<std::string, std::vector<RoundResult>> results;
  bool all_ok = true;
  for (int round = 0; round < rounds; ++round) {
    for (const std::string& flow : flows) {
      RoundResult r = run_flow(flow, s);
      all_ok = all_ok && r.ok;
      results[flow].push_back(r);
      std::printf("round %d %-20s %s %6.2f s %6zu turns  longest %6.1f ms (on a CPU %5.1f, waiting for one %5.1f,"
                  " stolen from the machine %3.0f)  p99 %6.1f ms  >100ms %4zu  own %6.1f ms  (after: %s; in it: %s)\n",
                  round + 1, flow.c_str(), r.ok ? "ok  " : "FAIL", r.seconds, r.turns, r.longest, r.longest_on_cpu,
                  r.longest_waited, r.longest_stolen, r.p99, r.over_goal, r.longest_own, plat::wide_to_utf8(r.status).c_str(), r.ops.c_str());
      std::fflush(stdout);
    }
  }
  pump_observer = nullptr;
  plat::set_fault_hook(nullptr);
  stop_server(s);
  if (keep.empty()) shell("rm -rf " + quoted(s.root));
  else shell("cd " + quoted(s.root) + " && rm -rf certs installer path-* home server.* Morvell* extracted");

  const std::string heading = std::string("flow (") + (s.window ? "window" : "no window") + ")";
  std::printf("\n%-20s %8s %18s %10s %8s %10s %14s  %s\n", heading.c_str(), "time s", "longest ms (range)", "p99 ms",
              ">100ms", "vs goal", "own ms (range)", "after the longest gap");
  for (const std::string& flow : flows) {
    const std::vector<RoundResult>& rs = results[flow];
    std::vector<double> longest, p99, secs, own;
    std::vector<size_t> over;
    for (const RoundResult& r : rs) {
      longest.push_back(r.longest);
      own.push_back(r.longest_own);
      p99.push_back(r.p99);
      secs.push_back(r.seconds);
      over.push_back(r.over_goal);
    }
    auto worst = std::max_element(rs.begin(), rs.end(),
                                  [](const RoundResult& a, const RoundResult& b) { return a.longest < b.longest; });
    char range[64];
    std::snprintf(range, sizeof range, "%.0f (%.0f-%.0f)", median_of(longest),
                  *std::min_element(longest.begin(), longest.end()), *std::max_element(longest.begin(), longest.end()));
    char own_range[64];
    std::snprintf(own_range, sizeof own_range, "%.0f (%.0f-%.0f)", median_of(own),
                  *std::min_element(own.begin(), own.end()), *std::max_element(own.begin(), own.end()));
    std::printf("%-20s %8.2f %18s %10.1f %8zu %9.2fx %14s  %s\n", flow.c_str(), median_of(secs), range, median_of(p99),
                median_of(over), median_of(longest) / kGoalMs, own_range, plat::wide_to_utf8(worst->status).c_str());
  }
  return all_ok ? 0 : 1;
}
