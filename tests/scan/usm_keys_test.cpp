// The turns sessions take on the library's one key per (engine ID, user),
// driven step by step with made-up ids and keys: who installs, who shares the
// installed key, and who waits until when.
#include "scan/usm_keys.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

enum class Op { kAcquire, kFinish, kRelease };

struct Step {
  Op op;
  int session;
  std::string id;   // kAcquire
  std::string key;  // kAcquire
  bool ok = true;   // kFinish
  // Per session after the step: '-' holds no turn, 'w' waits in Acquire,
  // 'i' holds a turn and must install, 's' holds a turn on its own key.
  std::string after;
};

struct TurnCase {
  const char* name;
  std::vector<Step> steps;
};

Step Acquire(int session, std::string id, std::string key, std::string after) {
  return {Op::kAcquire, session, std::move(id), std::move(key), true, std::move(after)};
}
Step Finish(int session, bool ok, std::string after) {
  return {Op::kFinish, session, "", "", ok, std::move(after)};
}
Step Release(int session, std::string after) {
  return {Op::kRelease, session, "", "", true, std::move(after)};
}

const TurnCase kCases[] = {
    {"the first user of a pair installs, later users of the same key share it",
     {Acquire(0, "e1/u", "k1", "i--"), Finish(0, true, "i--"), Acquire(1, "e1/u", "k1", "is-"),
      Acquire(2, "e1/u", "k1", "iss")}},
    {"the same key waits for an install in progress",
     {Acquire(0, "e1/u", "k1", "i-"), Acquire(1, "e1/u", "k1", "iw"), Finish(0, true, "is")}},
    {"another key waits until every holder has released, then installs",
     {Acquire(0, "e1/u", "k1", "i--"), Finish(0, true, "i--"), Acquire(1, "e1/u", "k1", "is-"),
      Acquire(2, "e1/u", "k2", "isw"), Release(0, "-sw"), Release(1, "--i")}},
    {"after a failed install the next user installs again, even with the same key",
     {Acquire(0, "e1/u", "k1", "i-"), Acquire(1, "e1/u", "k1", "iw"), Finish(0, false, "iw"),
      Release(0, "-i")}},
    {"after the last release the installed key is shared again without an install",
     {Acquire(0, "e1/u", "k1", "i-"), Finish(0, true, "i-"), Release(0, "--"),
      Acquire(1, "e1/u", "k1", "-s")}},
    {"a new key after the last release is installed at once",
     {Acquire(0, "e1/u", "k1", "i-"), Finish(0, true, "i-"), Release(0, "--"),
      Acquire(1, "e1/u", "k2", "-i")}},
    {"different pairs never wait for each other",
     {Acquire(0, "e1/u", "k1", "i--"), Acquire(1, "e2/u", "k2", "ii-"),
      Acquire(2, "e1/v", "k3", "iii")}},
    {"the key's bytes decide, not a prefix",
     {Acquire(0, "e1/u", std::string("k\0a", 3), "i-"), Finish(0, true, "i-"),
      Acquire(1, "e1/u", std::string("k\0b", 3), "iw"), Release(0, "-i")}},
};

// How long a session gets to leave Acquire, and how long one that should wait
// is watched before it counts as waiting.
constexpr std::chrono::milliseconds kSettle(5000);
constexpr auto kStillWaiting = std::chrono::milliseconds(50);

// Acquire on its own thread. The thread is detached and shares the turns, so
// a session stuck by a fault cannot hang the test at its end.
std::future<bool> StartAcquire(const std::shared_ptr<UsmKeyTurns>& turns, const std::string& id,
                               const std::string& key) {
  std::promise<bool> done;
  std::future<bool> result = done.get_future();
  std::thread([turns, id, key, done = std::move(done)]() mutable {
    done.set_value(turns->Acquire(id, key));
  }).detach();
  return result;
}

TEST(UsmKeyTurns, StepByStep) {
  for (const TurnCase& c : kCases) {
    auto turns = std::make_shared<UsmKeyTurns>();
    const size_t sessions = c.steps.front().after.size();
    std::vector<std::future<bool>> pending(sessions);
    std::string state(sessions, '-');
    std::vector<std::string> ids(sessions);
    // Moves the sessions that left Acquire to 'i' or 's'; the ones expected
    // to wait are watched briefly, the others given kSettle.
    auto settle = [&](const std::string& expected) {
      for (size_t s = 0; s < sessions; ++s) {
        if (state[s] != 'w') continue;
        const std::chrono::milliseconds wait = expected[s] == 'w' ? kStillWaiting : kSettle;
        if (pending[s].wait_for(wait) == std::future_status::ready)
          state[s] = pending[s].get() ? 'i' : 's';
      }
    };
    for (size_t n = 0; n < c.steps.size(); ++n) {
      const Step& step = c.steps[n];
      switch (step.op) {
        case Op::kAcquire:
          ids[step.session] = step.id;
          pending[step.session] = StartAcquire(turns, step.id, step.key);
          state[step.session] = 'w';
          break;
        case Op::kFinish:
          turns->FinishInstall(ids[step.session], step.ok);
          break;
        case Op::kRelease:
          turns->Release(ids[step.session]);
          state[step.session] = '-';
          break;
      }
      settle(step.after);
      EXPECT_EQ(state, step.after) << c.name << ", step " << n + 1;
      if (state != step.after) break;
    }
    // Hands every turn back, so that sessions still waiting get theirs and end.
    for (int round = 0; round <= static_cast<int>(sessions); ++round) {
      for (size_t s = 0; s < sessions; ++s) {
        if (state[s] == 'i') turns->FinishInstall(ids[s], false);
        if (state[s] == 'i' || state[s] == 's') turns->Release(ids[s]);
        if (state[s] != 'w') state[s] = '-';
      }
      settle(std::string(sessions, '-'));
    }
  }
}

}  // namespace
