// zelkhost: loads a service library the way a host does and drives it, so an
// administrator can try a configuration without the real host.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "check.h"
#include "config/config.h"
#include "config/settings.h"
#include "exit_status.h"
#include "file_checks.h"
#include "nearest_name.h"
#include "platform/platform.h"
#include "run_summary.h"
#include "service_library.h"
#include "spool_command.h"
#include "status_command.h"

namespace zelk::host {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kFieldsOfForwardTransaction = 11;
constexpr std::size_t kFieldsOfForwardTransaction2 = 12;
constexpr auto kProgressEvery = std::chrono::seconds(1);
constexpr auto kCallbackPatience = std::chrono::seconds(60);

// The library named on the command line, or the one beside this program.
std::string LibraryPath(const std::string& option) {
  if (!option.empty()) return fs::absolute(option).string();
  fs::path program = platform::ModulePath(32768);
  return (program.parent_path() / DefaultLibraryName()).string();
}

// Loads the library at `path`, or says plainly why a host could not.
std::unique_ptr<ServiceLibrary> LoadAsAHostDoes(const std::string& path, std::string* problem) {
  if (std::optional<std::string> before = LibraryFileProblem(path)) {
    *problem = *before;
    return nullptr;
  }
  return ServiceLibrary::Load(path, problem);
}

std::unique_ptr<ServiceLibrary> LoadOrComplain(const std::string& path) {
  std::string problem;
  std::unique_ptr<ServiceLibrary> library = LoadAsAHostDoes(path, &problem);
  if (library == nullptr) std::cerr << "zelkhost: " << problem << "\n";
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

// Prints "N transactions sent, R per second" on the terminal every second
// while a run lasts, so a long or stalled run is seen to be one; with the
// total known (a file), also the share done and the time left.
class ProgressLine {
 public:
  ProgressLine(bool shown, std::size_t total) : total_(total) {
    if (shown) ticker_ = std::thread([this] { Tick(); });
  }
  ~ProgressLine() { Finish(); }
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  void Sent() { sent_.fetch_add(1, std::memory_order_relaxed); }
  std::size_t sent() const { return sent_.load(std::memory_order_relaxed); }

  // Stops the line; the terminal's next output starts on a line of its own.
  void Finish() {
    if (!ticker_.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    wake_.notify_one();
    ticker_.join();
    if (printed_) std::cerr << "\n";
  }

 private:
  void Tick() {
    const auto started = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, kProgressEvery, [this] { return done_; })) {
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      const double rate = static_cast<double>(sent()) / seconds;
      if (total_ > 0) {
        const double left =
            rate > 0 ? static_cast<double>(total_ - std::min(sent(), total_)) / rate : 0;
        std::fprintf(stderr,
                     "\r%zu of %zu transactions sent (%.0f%%), %.0f per second, %.0f s left ",
                     sent(), total_,
                     100.0 * static_cast<double>(sent()) / static_cast<double>(total_), rate, left);
      } else {
        std::fprintf(stderr, "\r%zu transactions sent, %.0f per second ", sent(), rate);
      }
      std::fflush(stderr);
      printed_ = true;
    }
  }

  std::size_t total_;  // 0: not known
  std::atomic<std::size_t> sent_{0};
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;
  bool printed_ = false;
  std::thread ticker_;
};

// The trace log the service will write, as it reads [Log] when it starts.
std::string TraceLogFile(const std::string& library_path) {
  return config::Read(config::Snapshot::Load(config::ConfigFilePathFor(library_path)),
                      config::kLogFileName);
}

// What the service counted for this run, with the first lines it could not
// write as the trace log still holds them; true when no line was lost and not
// every transaction was dropped.
bool ReportWhatTheServiceDid(const std::string& status_file, const std::string& log_file,
                             const std::string& library_path) {
  std::ifstream status(status_file, std::ios::binary);
  const std::string text{std::istreambuf_iterator<char>(status), std::istreambuf_iterator<char>()};
  const std::optional<RunCounts> counts = status_file.empty() ? std::nullopt : CountsOfStatus(text);
  if (!counts) {
    std::cout << "What the service did is not known: its status file for this run ("
              << (status_file.empty() ? "in the temporary folder" : status_file)
              << ") could not be read.\n";
    return false;
  }
  std::vector<std::string> first_failures;
  if (counts->lost() > 0 && !log_file.empty()) {
    std::ifstream log(log_file, std::ios::binary);
    const std::string log_text{std::istreambuf_iterator<char>(log),
                               std::istreambuf_iterator<char>()};
    first_failures = FirstLinesNotWritten(log_text, fs::path(library_path).filename().string());
  }
  PrintRunSummary(*counts, first_failures, std::cout);
  return !counts->Failed();
}

// The non-empty lines of the file at `path`: the total a run's progress
// counts towards.
std::size_t CountTransactions(const std::string& path) {
  std::ifstream counted(path, std::ios::binary);
  std::size_t lines = 0;
  std::string line;
  while (std::getline(counted, line)) {
    if (!line.empty() && line != "\r") ++lines;
  }
  return lines;
}

// Opens the file of transactions into `input`; with no file (or "-") the
// transactions come from standard input, announced on a terminal. False, said
// on standard error, when the file cannot be read.
bool OpenTransactions(const std::string& file, std::ifstream& input) {
  if (!file.empty() && file != "-") {
    std::error_code ignored;
    if (fs::is_directory(file, ignored)) {
      std::cerr << "zelkhost: " << file << " is a folder; give run a file of transactions\n";
      return false;
    }
    input.open(file, std::ios::binary);
    if (!input) {
      const int reason = errno;
      std::cerr << "zelkhost: cannot read " << file << ": "
                << std::generic_category().message(reason) << "\n";
      return false;
    }
  } else if (IsTerminal(stdin)) {
    // Otherwise a run without a file looks like a hang.
    std::cerr << "zelkhost: reading transactions from standard input, one per line (12 "
                 "tab-separated texts, or 11); end with "
              << (NativeBinaryKind() == BinaryFile::Kind::kPe ? "Ctrl-Z and Enter" : "Ctrl-D")
              << ", or give run a file\n";
  }
  return true;
}

// Forwards every transaction of `lines`; answers how many lines were skipped
// for having neither 11 nor 12 fields.
std::size_t ForwardLines(std::istream& lines, const EntryPoints& api, ProgressLine& progress) {
  std::size_t skipped = 0, number = 0;
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
    progress.Sent();
  }
  return skipped;
}

int Run(const std::string& library_option, const std::string& file) {
  std::ifstream input;
  if (!OpenTransactions(file, input)) return kExitCannotStart;
  const std::string library_path = LibraryPath(library_option);
  // Before the library, so that it outlives the library's last write.
  const RunStatusFolder status_folder;
  auto library = LoadOrComplain(library_path);
  if (library == nullptr) return kExitCannotStart;
  std::istream& lines = input.is_open() ? static_cast<std::istream&>(input) : std::cin;
  const EntryPoints& api = library->api();
  const std::string log_file = TraceLogFile(library_path);
  const auto started = std::chrono::steady_clock::now();
  api.ExecuteService();
  const bool shown = IsTerminal(stderr);
  ProgressLine progress(shown, shown && input.is_open() ? CountTransactions(file) : 0);
  const std::size_t skipped = ForwardLines(lines, api, progress);
  api.StopService();
  progress.Finish();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("%zu transactions sent, %zu lines skipped, in %.3f s\n", progress.sent(), skipped,
              seconds);
  std::fflush(stdout);
  const bool all_written =
      ReportWhatTheServiceDid(status_folder.StatusFileFor(library_path), log_file, library_path);
  return skipped == 0 && all_written ? kExitOk : kExitFailed;
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
  if (library == nullptr) return kExitCannotStart;
  const EntryPoints& api = library->api();
  api.ExecuteService();
  int exit_code = kExitOk;
  if (!async) {
    for (const std::string& jobno : jobnos) {
      const int result = api.IsJobnoValid(jobno.c_str());
      PrintAnswer(jobno, result);
      if (result != 1) exit_code = kExitFailed;
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
        exit_code = kExitCannotStart;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    api.SetCallback(nullptr);
    std::lock_guard<std::mutex> lock(g_answers_mutex);
    for (const auto& [result, jobno] : g_answers) {
      PrintAnswer(jobno, result);
      if (result != 1 && exit_code == kExitOk) exit_code = kExitFailed;
    }
  }
  api.StopService();
  return exit_code;
}

int Info(const std::string& library_option) {
  const std::string path = LibraryPath(library_option);
  auto library = LoadOrComplain(path);
  if (library == nullptr) return kExitCannotStart;
  const EntryPoints& api = library->api();
  std::cout << "service name:       " << api.GetServiceName() << "\n"
            << "API version:        " << api.GetAPIVersion() << "\n"
            << "library:            " << path << "\n"
            << "configuration file: " << config::ConfigFilePathFor(path) << "\n";
  return kExitOk;
}

// What `check` was asked: the library, a candidate configuration, the
// host's working folder, and how to print.
struct CheckRequest {
  std::string library;
  std::string config;
  std::string workdir;
  std::string format = "text";
  bool quiet = false;
  bool strict = false;
};

// Loads the library as a host does (without starting the service), then
// checks the configuration beside it, or a candidate in its place, with
// relative names taken from the host's working folder. Exit status 1 on
// problems, and on warnings too when `strict`.
int Check(const CheckRequest& request) {
  CheckOptions options;
  options.library_path = LibraryPath(request.library);
  options.live_config_path = config::ConfigFilePathFor(options.library_path);
  options.config_path = request.config.empty() ? options.live_config_path : request.config;
  options.output = request.format == "json" ? CheckOutput::kJson
                   : request.quiet          ? CheckOutput::kQuiet
                                            : CheckOutput::kText;
  std::string problem;
  auto library = LoadAsAHostDoes(options.library_path, &problem);
  if (library == nullptr) {
    options.library_problem = problem;
  } else {
    options.library_loads = std::string(library->api().GetServiceName()) + ", API version " +
                            std::to_string(library->api().GetAPIVersion());
  }
  if (!request.workdir.empty()) {
    // Names taken from here on are the host's: the candidate is named as given
    // before the move.
    if (!request.config.empty()) options.config_path = fs::absolute(request.config).string();
    std::error_code error;
    fs::current_path(request.workdir, error);
    if (error) {
      std::cerr << "zelkhost: cannot use " << request.workdir
                << " as the working folder: " << error.message() << "\n";
      return kExitCannotStart;
    }
  }
  const CheckResult result = CheckConfiguration(options, std::cout);
  return result.problems > 0 || (request.strict && result.warnings > 0) ? kExitFailed : kExitOk;
}

// "; did you mean NAME?" when one of `names` is likely what `typed` meant.
std::string DidYouMean(const std::string& typed, const std::vector<std::string>& names) {
  constexpr std::size_t kLikelyTypo = 3;
  const std::optional<std::string> nearest = NearestName(typed, names, kLikelyTypo);
  return nearest ? "; did you mean " + *nearest + "?" : "";
}

// For the first option `command` does not have: which of its own it may be.
std::string UnknownOptionHint(const CLI::App& command, int argc, char** argv) {
  std::vector<std::string> names;
  for (const CLI::Option* option : command.get_options()) {
    for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
  }
  for (int i = 2; i < argc; ++i) {
    std::string typed = argv[i];
    if (typed.rfind("--", 0) != 0) continue;
    typed = typed.substr(0, typed.find('='));
    if (std::find(names.begin(), names.end(), typed) != names.end()) continue;
    const std::string hint = DidYouMean(typed, names);
    if (hint.empty()) continue;
    std::string said = " (\"";
    said.append(typed).append("\"").append(hint).append(")");
    return said;
  }
  return "";
}

// Says what went wrong on the command line and what is known instead.
int UsageError(const CLI::App& app, const CLI::ParseError& error, int argc, char** argv) {
  std::cerr << "zelkhost: ";
  std::vector<std::string> commands;
  for (const CLI::App* command : app.get_subcommands({})) commands.push_back(command->get_name());
  const std::string first = argc > 1 ? argv[1] : "";
  const bool known = std::find(commands.begin(), commands.end(), first) != commands.end();
  if (!first.empty() && first.front() != '-' && !known) {
    std::cerr << "unknown command \"" << first << "\"" << DidYouMean(first, commands);
  } else if (!first.empty() && first.front() == '-') {
    std::cerr << "unknown option \"" << first << "\" (options follow the command)";
  } else {
    std::cerr << error.what();
    if (known) std::cerr << UnknownOptionHint(*app.get_subcommand(first), argc, argv);
  }
  std::cerr << "\n";
  if (known) {
    const CLI::App* command = app.get_subcommand(first);
    std::cerr << "The options of " << first << ":";
    for (const CLI::Option* option : command->get_options()) {
      std::cerr << " " << option->get_name();
    }
    std::cerr << "\n";
  } else {
    std::cerr << "The commands:";
    for (const std::string& command : commands) std::cerr << " " << command;
    std::cerr << "\n";
  }
  std::cerr << "See zelkhost --help, or zelkhost COMMAND --help.\n";
  return kExitCannotStart;
}

// What the command line asks for: the command, as the one of these that
// was parsed, and the options of every command.
struct Request {
  std::string library;
  CLI::App* run = nullptr;
  std::string file;
  CLI::App* validate = nullptr;
  bool async = false;
  std::vector<std::string> jobnos;
  CLI::App* info = nullptr;
  CheckRequest check;  // for `check`, the command parsed when no other was
  CLI::App* spool = nullptr;
  bool deliver = false;
  CLI::App* status = nullptr;
  bool json = false;
  int window = kDefaultWindowMinutes;
};

void AddLibraryOption(CLI::App* command, Request& request) {
  command->add_option("--library", request.library,
                      "the service library (default: the one beside this program)");
}

void AddDrivingCommands(CLI::App& app, Request& request) {
  request.run = app.add_subcommand(
      "run", "forward one transaction per tab-separated line (12 fields, or 11)");
  AddLibraryOption(request.run, request);
  request.run->add_option("FILE", request.file, "the transactions (default: standard input)");

  request.validate = app.add_subcommand("validate", "validate job numbers");
  AddLibraryOption(request.validate, request);
  request.validate->add_flag("--async", request.async,
                             "answer through the callback from worker threads");
  request.validate->add_option("JOBNO", request.jobnos, "the job numbers")->required();

  request.info = app.add_subcommand("info", "service name, API version and file paths");
  AddLibraryOption(request.info, request);
}

void AddCheckCommand(CLI::App& app, Request& request) {
  CheckRequest& check_request = request.check;
  CLI::App* check = app.add_subcommand(
      "check",
      "report what the configuration beside the library would do, one line per finding "
      "(FILE:LINE:COLUMN: problem|warning: TEXT); exit 1 on problems");
  AddLibraryOption(check, request);
  check->add_flag("--strict", check_request.strict, "exit 1 on warnings too");
  check->add_option("--config", check_request.config,
                    "check this file instead, as if it lay beside the library (which is still "
                    "loaded; the live file is left alone)");
  check->add_option("--workdir", check_request.workdir,
                    "take relative file names from this folder, as the host does from its "
                    "working folder");
  check->add_option("--format", check_request.format, "text (default) or json")
      ->check(CLI::IsMember({"text", "json"}));
  check->add_flag("--quiet", check_request.quiet, "print only the problems and warnings");
}

void AddWatchingCommands(CLI::App& app, Request& request) {
  request.spool = app.add_subcommand(
      "spool", "list the targets with lines waiting in the spool folder; exit 1 while any wait");
  AddLibraryOption(request.spool, request);
  request.spool->add_flag("--deliver", request.deliver, "try to deliver them now");

  request.status = app.add_subcommand(
      "status",
      "what each host process's service did (the status files of [Log] StatusFolder) and what "
      "waits in the spool; exit 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN");
  AddLibraryOption(request.status, request);
  request.status->add_flag("--json", request.json, "print one JSON document");
  request.status
      ->add_option("--window", request.window,
                   "minutes a lost line counts against the state (default 60)")
      ->check(CLI::NonNegativeNumber);
}

// Runs the command the command line asked for.
int RunRequest(Request& request) {
  const std::string& library = request.library;
  if (request.spool->parsed()) {
    return SpoolCommand(config::ConfigFilePathFor(LibraryPath(library)), request.deliver,
                        std::cout);
  }
  if (request.status->parsed()) {
    const std::string path = LibraryPath(library);
    return StatusCommand(config::ConfigFilePathFor(path), fs::path(path).filename().string(),
                         request.json, request.window, std::cout);
  }
  if (request.run->parsed()) return Run(library, request.file);
  if (request.validate->parsed()) return Validate(library, request.async, request.jobnos);
  if (request.info->parsed()) return Info(library);
  request.check.library = library;
  return Check(request.check);
}

}  // namespace

int Main(int argc, char** argv) {
  CLI::App app{"zelkhost: drives a zelkforward service library the way a host does"};
  app.require_subcommand(1);
  app.footer(kExitStatusHelp);
  app.set_version_flag("--version", std::string("zelkhost ") + ZELK_HOST_VERSION);
  Request request;
  AddDrivingCommands(app, request);
  AddCheckCommand(app, request);
  AddWatchingCommands(app, request);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& help) {
    return app.exit(help);
  } catch (const CLI::CallForAllHelp& help) {
    return app.exit(help);
  } catch (const CLI::CallForVersion& version) {
    return app.exit(version);
  } catch (const CLI::ParseError& error) {
    return UsageError(app, error, argc, argv);
  }
  return RunRequest(request);
}

}  // namespace zelk::host

int main(int argc, char** argv) {
  try {
    return zelk::host::Main(argc, argv);
  } catch (const std::exception& error) {
    // What escapes (no memory, a file system error) is said plainly, and the
    // program ends as one that could not do its work rather than by
    // std::terminate.
    std::cerr << "zelkhost: " << error.what() << "\n";
  } catch (...) {
    std::cerr << "zelkhost: unexpected failure\n";
  }
  return zelk::host::kExitCannotStart;
}
