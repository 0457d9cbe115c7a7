#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app_lib/service_ipc/codec.h"
#include "tests/support/service_harness.h"
#include "tests/support/test_support.h"

namespace nimbletrace_test {
namespace {

namespace fs = std::filesystem;
using app_lib::service_ipc::ServiceRunnerStatus;

int rounds() {
  const char* text = std::getenv("NIMBLETRACE_SOAK_ROUNDS");
  return text != nullptr ? std::max(1, std::atoi(text)) : 40;
}

struct Tally {
  std::mutex mutex;
  std::map<std::string, int> sent, answered_well;
  std::vector<std::string> problems;

  void record(const std::string& kind, bool good, const std::string& detail) {
    std::lock_guard lock(mutex);
    ++sent[kind];
    if (good) {
      ++answered_well[kind];
    } else if (problems.size() < 10) {
      problems.push_back(kind + ": " + detail);
    }
  }
};

// One well-formed response line, nothing after it.
std::optional<app_lib::service_ipc::StatusResponse> parse_answer(const std::string& answer) {
  if (answer.empty() || answer.back() != '\n' || answer.find('\n') != answer.size() - 1) {
    return std::nullopt;
  }
  auto decoded = app_lib::service_ipc::decode_response(answer);
  if (!decoded || decoded->protocol_version != 1 || !decoded->data) return std::nullopt;
  return *decoded;
}

class SoakTest : public SandboxServiceTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SoakTest, EveryRequestAnsweredAndNothingLeaks) {
  const bool mock = GetParam();
  ServiceProcess service(mock ? ServiceProcess::Options::mock_on(free_tcp_endpoint())
                              : ServiceProcess::Options::privileged());
  ASSERT_TRUE(service.wait_ready()) << service.stderr_text();
  const auto& endpoint = service.endpoint();
  CoreConfig config;
  const std::string start = config.start_line(9300);
  const std::string oversize(70000, 'x');
  // Six clients, each sending `per_client` requests of every kind in turn.
  const auto run_clients = [&](int per_client, Tally& tally) {
    std::vector<std::thread> clients;
    for (int c = 0; c < 6; ++c) {
      clients.emplace_back([&, c] {
        for (int i = 0; i < per_client; ++i) {
          switch ((c + i) % 8) {
            case 0:
            case 1: {
              auto r = parse_answer(raw_exchange(endpoint, PING_LINE));
              tally.record("ping", r && r->ok && r->message == "service runner pong", "");
              break;
            }
            case 2: {
              auto r = parse_answer(raw_exchange(endpoint, STATUS_LINE));
              tally.record("get_status", r && r->ok, "");
              break;
            }
            case 3: {
              const std::string answer = raw_exchange(endpoint, start);
              auto r = parse_answer(answer);
              tally.record("start_core", r && r->ok && r->data == ServiceRunnerStatus::Running,
                           answer);
              break;
            }
            case 4: {
              auto r = parse_answer(raw_exchange(endpoint, STOP_LINE));
              tally.record("stop_core", r && r->ok && r->data == ServiceRunnerStatus::Stopped, "");
              break;
            }
            case 5: {
              const std::string& bytes = (i % 2 == 0) ? oversize : std::string("{\"type\":\xff}\n");
              const std::string answer = raw_exchange(endpoint, bytes, true);
              auto r = parse_answer(answer);
              tally.record("malformed", r && !r->ok && r->data == ServiceRunnerStatus::Unavailable,
                           answer);
              break;
            }
            case 6:
              // Hangs up before reading the answer.
              (void)raw_exchange(endpoint, PING_LINE, false, std::chrono::milliseconds(0));
              break;
            default:
              // Sends nothing at all.
              (void)raw_exchange(endpoint, "", true);
              break;
          }
        }
      });
    }
    for (auto& t : clients) t.join();
  };
  // Warm up every path, side by side as below, so lazily created state (the
  // crypto library's tables, the allocator's pools, the heap that reads side
  // by side need, the start threads' stacks) is there before the baseline.
  Tally warm_up;
  run_clients(8, warm_up);
  ASSERT_TRUE(parse_answer(raw_exchange(endpoint, STOP_LINE)));
  const std::size_t fds_before = open_descriptors(service.pid()).size();
  // Anonymous resident memory (heap and stacks): shared library pages touched
  // for the first time are not growth.
  const long rss_before = status_kib(service.pid(), "RssAnon");

  Tally tally;
  run_clients(rounds(), tally);

  for (const auto& [kind, count] : tally.sent) {
    EXPECT_EQ(tally.answered_well[kind], count) << kind;
    std::printf("%-10s %5d sent, %5d answered well\n", kind.c_str(), count,
                tally.answered_well[kind]);
  }
  for (const auto& problem : tally.problems) ADD_FAILURE() << problem;

  // Leave exactly the expected core behind, then none.
  EXPECT_TRUE(parse_answer(raw_exchange(endpoint, start)));
  EXPECT_EQ(running_cores().size(), 1u);
  EXPECT_TRUE(parse_answer(raw_exchange(endpoint, STOP_LINE)));
  EXPECT_TRUE(running_cores().empty());
  EXPECT_EQ(zombie_children(service.pid()), 0);

  EXPECT_TRUE(parse_answer(raw_exchange(endpoint, PING_LINE))) << "the service must still serve";
  EXPECT_EQ(open_descriptors(service.pid()).size(), fds_before);
  const long rss_after = status_kib(service.pid(), "RssAnon");
  std::printf("descriptors %zu -> %zu, anonymous resident %ld KiB -> %ld KiB\n", fds_before,
              open_descriptors(service.pid()).size(), rss_before, rss_after);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The sanitizers hold freed memory back on purpose; leaks are theirs to report.
#else
  EXPECT_LT(rss_after - rss_before, 256) << "resident memory grew";
#endif
  EXPECT_TRUE(service.running());
}

INSTANTIATE_TEST_SUITE_P(BothModes, SoakTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param_info) {
                           return param_info.param ? "Mock" : "Privileged";
                         });

}  // namespace
}  // namespace nimbletrace_test
