// zelkhost: loads a service library the way a host does and drives it, so an
// administrator can try a configuration without the real host.
#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "check.h"
#include "config/config.h"
#include "platform/platform.h"
#include "service_library.h"
#include "spool_command.h"

namespace zelk::host {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kFieldsOfForwardTransaction = 11;
constexpr std::size_t kFieldsOfForwardTransaction2 = 12;
constexpr std::size_t kProgressEvery = 1000;
constexpr auto kCallbackPatience = std::chrono::seconds(60);

// The library named on the command line, or the one beside this program.
std::string LibraryPath(const std::string& option) {
  if (!option.empty()) return fs::absolute(option).string();
  fs::path program = platform::ModulePath(32768);
  return (program.parent_path() / DefaultLibraryName()).string();
}

std::unique_ptr<ServiceLibrary> LoadOrComplain(const std::string& path) {
  std::string error;
  std::unique_ptr<ServiceLibrary> library = ServiceLibrary::Load(path, &error);
  if (library == nullptr) std::cerr << "zelkhost: " << error << "\n";
  return library;
}

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    std::size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab - start));
    if (tab == std::string::npos) return fields;
    start = tab + 1;
  }
}

void Forward(const EntryPoints& api, const std::vector<std::string>& f) {
  if (f.size() == kFieldsOfForwardTransaction2) {
    api.ForwardTransaction2(f[0].c_str(), f[1].c_str(), f[2].c_str(), f[3].c_str(), f[4].c_str(),
                            f[5].c_str(), f[6].c_str(), f[7].c_str(), f[8].c_str(), f[9].c_str(),
                            f[10].c_str(), f[11].c_str());
  } else {
    api.ForwardTransaction(f[0].c_str(), f[1].c_str(), f[2].c_str(), f[3].c_str(), f[4].c_str(),
                           f[5].c_str(), f[6].c_str(), f[7].c_str(), f[8].c_str(), f[9].c_str(),
                           f[10].c_str());
  }
}

int Run(const std::string& library_option, const std::string& file) {
  auto library = LoadOrComplain(LibraryPath(library_option));
  if (library == nullptr) return 2;
  std::ifstream input;
  if (!file.empty() && file != "-") {
    input.open(file, std::ios::binary);
    if (!input) {
      std::cerr << "zelkhost: cannot read " << file << "\n";
      return 2;
    }
  }
  std::istream& lines = input.is_open() ? static_cast<std::istream&>(input) : std::cin;
  const EntryPoints& api = library->api();
  const bool progress = IsTerminal(stderr);
  const auto started = std::chrono::steady_clock::now();
  api.ExecuteService();
  std::size_t sent = 0, skipped = 0, number = 0;
  std::string line;
  while (std::getline(lines, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    const std::vector<std::string> fields = SplitTabs(line);
    if (fields.size() != kFieldsOfForwardTransaction &&
        fields.size() != kFieldsOfForwardTransaction2) {
      std::cerr << "zelkhost: line " << number << ": " << fields.size()
                << " fields, expected 11 or 12; skipped\n";
      ++skipped;
      continue;
    }
    Forward(api, fields);
    if (++sent % kProgressEvery == 0 && progress) std::cerr << "\r" << sent << " transactions";
  }
  api.StopService();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (progress && sent >= kProgressEvery) std::cerr << "\n";
  std::printf("%zu transactions sent, %zu lines skipped, in %.3f s\n", sent, skipped, seconds);
  return skipped == 0 ? 0 : 1;
}

// Results of asynchronous checks, filled by the service's validation workers.
std::mutex g_answers_mutex;
std::vector<std::pair<int, std::string>> g_answers;

void CollectAnswer(std::int32_t result, const char* jobno) {
  std::lock_guard<std::mutex> lock(g_answers_mutex);
  g_answers.emplace_back(result, jobno);
}

void PrintAnswer(const std::string& jobno, int result) {
  std::cout << jobno << ": " << (result == 1 ? "valid" : "not valid") << "\n";
}

int Validate(const std::string& library_option, bool async,
             const std::vector<std::string>& jobnos) {
  auto library = LoadOrComplain(LibraryPath(library_option));
  if (library == nullptr) return 2;
  const EntryPoints& api = library->api();
  api.ExecuteService();
  int exit_code = 0;
  if (!async) {
    for (const std::string& jobno : jobnos) {
      const int result = api.IsJobnoValid(jobno.c_str());
      PrintAnswer(jobno, result);
      if (result != 1) exit_code = 1;
    }
  } else {
    api.SetCallback(&CollectAnswer);
    for (const std::string& jobno : jobnos) api.IsJobnoValid(jobno.c_str());
    const auto deadline = std::chrono::steady_clock::now() + kCallbackPatience;
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(g_answers_mutex);
        if (g_answers.size() >= jobnos.size()) break;
      }
      if (std::chrono::steady_clock::now() > deadline) {
        std::cerr << "zelkhost: not every callback arrived\n";
        exit_code = 2;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    api.SetCallback(nullptr);
    std::lock_guard<std::mutex> lock(g_answers_mutex);
    for (const auto& [result, jobno] : g_answers) {
      PrintAnswer(jobno, result);
      if (result != 1 && exit_code == 0) exit_code = 1;
    }
  }
  api.StopService();
  return exit_code;
}

int Info(const std::string& library_option) {
  const std::string path = LibraryPath(library_option);
  auto library = LoadOrComplain(path);
  if (library == nullptr) return 2;
  const EntryPoints& api = library->api();
  std::cout << "service name:       " << api.GetServiceName() << "\n"
            << "API version:        " << api.GetAPIVersion() << "\n"
            << "library:            " << path << "\n"
            << "configuration file: " << config::ConfigFilePathFor(path) << "\n";
  return 0;
}

// Exit status 1 on problems, and on warnings too when `strict`.
int Check(const std::string& library_option, bool strict) {
  const std::string path = LibraryPath(library_option);
  std::cout << "Library: " << path << "\n";
  const CheckResult result = CheckConfiguration(config::ConfigFilePathFor(path), std::cout);
  return result.problems > 0 || (strict && result.warnings > 0) ? 1 : 0;
}

}  // namespace

int Main(int argc, char** argv) {
  CLI::App app{"zelkhost: drives a zelkforward service library the way a host does"};
  app.require_subcommand(1);
  std::string library;
  auto add_library_option = [&library](CLI::App* command) {
    command->add_option("--library", library,
                        "the service library (default: the one beside this program)");
  };

  std::string file;
  CLI::App* run = app.add_subcommand(
      "run", "forward one transaction per tab-separated line (12 fields, or 11)");
  add_library_option(run);
  run->add_option("FILE", file, "the transactions (default: standard input)");

  bool async = false;
  std::vector<std::string> jobnos;
  CLI::App* validate = app.add_subcommand("validate", "validate job numbers");
  add_library_option(validate);
  validate->add_flag("--async", async, "answer through the callback from worker threads");
  validate->add_option("JOBNO", jobnos, "the job numbers")->required();

  CLI::App* info = app.add_subcommand("info", "service name, API version and file paths");
  add_library_option(info);

  bool strict = false;
  CLI::App* check = app.add_subcommand(
      "check", "report what the configuration beside the library would do; exit 1 on problems");
  add_library_option(check);
  check->add_flag("--strict", strict, "exit 1 on warnings too");

  bool deliver = false;
  CLI::App* spool = app.add_subcommand(
      "spool", "list the targets with lines waiting in the spool folder; exit 1 while any wait");
  add_library_option(spool);
  spool->add_flag("--deliver", deliver, "try to deliver them now");

  CLI11_PARSE(app, argc, argv);
  if (spool->parsed()) {
    return SpoolCommand(config::ConfigFilePathFor(LibraryPath(library)), deliver, std::cout);
  }
  if (run->parsed()) return Run(library, file);
  if (validate->parsed()) return Validate(library, async, jobnos);
  if (info->parsed()) return Info(library);
  return Check(library, strict);
}

}  // namespace zelk::host

int main(int argc, char** argv) { return zelk::host::Main(argc, argv); }
