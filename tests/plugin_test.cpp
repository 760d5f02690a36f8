// The plug-in as a host sees it: the built library, loaded by file name from a
// folder of its own with its configuration file beside it, driven through the
// nine entry points only.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/platform_test_helper.h"
#include "service_library.h"
#include "test_support.h"

namespace zelk::host {
namespace {

namespace fs = std::filesystem;
using testing::ReadFileBytes;
using testing::ReadLogTexts;
using testing::WriteFileBytes;

// The plug-in built beside this test program (in the build's bin folder).
fs::path BuiltPlugin() {
  return fs::path(platform::ModulePath(32768)).parent_path().parent_path() / "bin" /
         DefaultLibraryName();
}

std::mutex g_callback_mutex;
std::vector<std::pair<int, std::string>> g_callbacks;

void RecordCallback(std::int32_t result, const char* jobno) {
  std::lock_guard<std::mutex> lock(g_callback_mutex);
  g_callbacks.emplace_back(result, jobno);
}

std::size_t CallbackCount() {
  std::lock_guard<std::mutex> lock(g_callback_mutex);
  return g_callbacks.size();
}

class PluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetTimeZoneForTesting("UTC0");
    fs::copy_file(BuiltPlugin(), library_path_);
    std::lock_guard<std::mutex> lock(g_callback_mutex);
    g_callbacks.clear();
  }

  // Writes zelkforward.ini beside the library copy, then loads it.
  void Load(const std::string& configuration) {
    WriteFileBytes(dir_.File("zelkforward.ini"), configuration);
    std::string error;
    library_ = ServiceLibrary::Load(library_path_, &error);
    ASSERT_NE(library_, nullptr) << error;
  }

  // A configuration with a trace log, one output section and one job list.
  std::string Configuration(const std::string& extra = "") {
    WriteFileBytes(list_path_, "A1234\r\n");
    return "[Log]\r\nFileName=" + log_path_ + "\r\nMaxLines=-1\r\n" +
           "[ForwardTransaction]\r\nTarget1=" + target_path_ +
           "\r\nFormat1=%@01 %@07 %@21|%@23\r\n" + extra + "[ValidJob]\r\nSource1=" + list_path_ +
           "\r\nFormat1=0000000010\r\n";
  }

  void Forward(const char* trans_no) {
    api().ForwardTransaction2(trans_no, "A1234", "071010", "075037", "OP1", "", "12", "3", "Remark",
                              "R2", "12.5", "0");
  }

  const EntryPoints& api() { return library_->api(); }

  testing::ScratchDir dir_;
  const std::string library_path_ = dir_.File(DefaultLibraryName());
  const std::string log_path_ = dir_.File("trace.log");
  const std::string target_path_ = dir_.File("out.txt");
  const std::string list_path_ = dir_.File("jobs.txt");
  std::unique_ptr<ServiceLibrary> library_;
};

TEST_F(PluginTest, AnswersItsVersionsBeforeAndAfterStarting) {
  Load(Configuration());
  EXPECT_EQ(api().GetAPIVersion(), 102);
  EXPECT_STREQ(api().GetServiceName(), "Quillet Zelk v[1.05rc12]");
  EXPECT_EQ(api().ExecuteService(), 1);
  EXPECT_EQ(api().GetAPIVersion(), 102);
  const char* first = api().GetServiceName();
  EXPECT_EQ(api().GetServiceName(), first);  // one buffer, never reallocated
}

TEST_F(PluginTest, StartingWritesTheBannersAndStoppingTwiceWritesTwoLines) {
  Load(Configuration());
  api().ExecuteService();
  api().StopService();
  api().StopService();
  Forward("7");
  const std::vector<std::string> log = ReadLogTexts(log_path_);
  ASSERT_EQ(log.size(), 5u);
  EXPECT_NE(log[0].find(" is loaded at [0x"), std::string::npos) << log[0];
  EXPECT_NE(log[0].find("] v[1.05rc12] logflags[] maxlines[-1]"), std::string::npos) << log[0];
  EXPECT_EQ(log[1].rfind(".-OS: ", 0), 0u) << log[1];
  EXPECT_EQ(log[2], ".-" + library_path_ + " is unloaded");
  EXPECT_EQ(log[3], log[2]);
  EXPECT_EQ(log[4], ".-ForwardTransaction section[1] file[" + target_path_ +
                        "] transno[7] jobno[A1234] -- SUCCESS");
}

TEST_F(PluginTest, ForwardingBeforeStartingWritesTargetsButNoLog) {
  Load(Configuration());
  Forward("1");
  api().ForwardTransaction("2", "A1234", "071010", "075037", "OP1", "", "12", "3", "Nine", "12.5",
                           "0");
  EXPECT_EQ(ReadFileBytes(target_path_), "1 A1234 Remark|R2\r\n2 A1234 Nine|Nine\r\n");
  EXPECT_FALSE(fs::exists(log_path_));
}

TEST_F(PluginTest, StartingDropsACallbackRegisteredBefore) {
  Load(Configuration());
  EXPECT_EQ(api().SetCallback(&RecordCallback), &RecordCallback);
  api().ExecuteService();
  EXPECT_EQ(api().IsJobnoValid("a1234"), 1);
  EXPECT_EQ(api().IsJobnoValid("B1"), 0);
  api().SetCallback(&RecordCallback);
  EXPECT_EQ(api().IsJobnoValid("a1234"), 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (CallbackCount() < 1 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  api().SetCallback(nullptr);
  std::lock_guard<std::mutex> lock(g_callback_mutex);
  EXPECT_EQ(g_callbacks, (std::vector<std::pair<int, std::string>>{{1, "a1234"}}));
}

TEST_F(PluginTest, NullTextsFromTheHostAreEmptyTexts) {
  Load(Configuration("Format2=[%@03][%@21]\r\nTarget2=" + target_path_ + "\r\n"));
  api().ExecuteService();
  api().ForwardTransaction2("5", "A1234", "071010", "075037", nullptr, nullptr, nullptr, nullptr,
                            nullptr, nullptr, "1", nullptr);
  EXPECT_EQ(api().IsJobnoValid(nullptr), 0);
  EXPECT_EQ(ReadFileBytes(target_path_), "5 A1234 |\r\n[][]\r\n");
}

TEST_F(PluginTest, UnloadingWithChecksAndLogLinesStillRunningDoesNotCrash) {
  Load(Configuration("Validation=1\r\n"));
  api().ExecuteService();
  api().SetCallback(&RecordCallback);
  constexpr int kRequests = 50;
  for (int i = 0; i < kRequests; ++i) {
    api().IsJobnoValid("A1234");
    api().ForwardTransaction2("9", "nope", "071010", "075037", "", "", "", "", "", "", "1", "0");
  }
  api().StopService();
  library_.reset();  // unload while workers may still run
  // The workers outlive the unload request (Windows: they hold the module;
  // POSIX: the library is never unmapped), so every callback still arrives.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (CallbackCount() < kRequests && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(CallbackCount(), static_cast<std::size_t>(kRequests));
}

// The host unloads the library without stopping it first, with many checks of
// a long list in flight: the unload returns at once, and the checks still
// answer. (An unload that waits for the workers under the loader's lock,
// while each worker needs that lock for the library's path, never returns.)
TEST_F(PluginTest, UnloadingWithChecksInFlightReturns) {
  std::string list;
  for (int i = 0; i < 200000; ++i) list += "J" + std::to_string(1000000 + i) + "\r\n";
  Load(Configuration());
  WriteFileBytes(list_path_, list);
  api().ExecuteService();
  api().SetCallback(&RecordCallback);
  constexpr int kRequests = 200;
  for (int i = 0; i < kRequests; ++i) api().IsJobnoValid("NOT-LISTED");
  std::future<void> unloaded = std::async(std::launch::async, [this] { library_.reset(); });
  if (unloaded.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
    ADD_FAILURE() << "the unload does not return";
    std::_Exit(1);  // the unloading thread cannot be ended otherwise
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (CallbackCount() < kRequests && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(CallbackCount(), static_cast<std::size_t>(kRequests));
}

}  // namespace
}  // namespace zelk::host
