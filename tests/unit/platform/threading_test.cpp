#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>
#include <chrono>
#include <thread>

#include "platform/diagnostics.h"
#include "platform/interruptible_sleep.h"
#include "platform/job_queue.h"
#include "platform/periodic_timer.h"
#include "platform/sync_event.h"
#include "platform/worker_thread.h"

namespace vexahv::platform {
namespace {

using namespace std::chrono_literals;

TEST(Events, OneShotStaysSetAutoResetLetsOneThrough) {
  OneShotEvent once;
  EXPECT_EQ(once.wait(10ms), WaitResult::TimedOut);
  std::thread setter([&] { once.set(); });
  EXPECT_EQ(once.wait(5s), WaitResult::Signalled);
  EXPECT_EQ(once.wait(0ms), WaitResult::Signalled);  // manual reset: still set
  setter.join();
  once.reset();
  EXPECT_FALSE(once.isSet());

  AutoResetEvent autoEvent;
  autoEvent.set();
  EXPECT_EQ(autoEvent.wait(0ms), WaitResult::Signalled);
  EXPECT_EQ(autoEvent.wait(10ms), WaitResult::TimedOut);  // consumed
}

TEST(Events, StopEndsWaitsAndSleepsAtOnce) {
  std::stop_source stop;
  OneShotEvent never;
  AutoResetEvent neverAuto;
  std::thread stopper([&] {
    std::this_thread::sleep_for(50ms);
    stop.request_stop();
  });
  // Each would last a minute if the stop did not end it; the test's own time-out catches that.
  EXPECT_EQ(never.wait(stop.get_token(), 60s), WaitResult::Stopped);
  EXPECT_EQ(neverAuto.wait(stop.get_token(), 60s), WaitResult::Stopped);
  EXPECT_FALSE(sleepFor(stop.get_token(), 60s));
  stopper.join();
  EXPECT_TRUE(sleepFor(std::stop_source().get_token(), 1ms));
}

TEST(WorkerThread, StopsOnDestructionAndSurvivesExceptions) {
  std::atomic<bool> ended{false};
  {
    WorkerThread w("loop", [&](std::stop_token st) {
      while (sleepFor(st, 1h)) {
      }
      ended = true;
    });
    EXPECT_TRUE(w.running());
  }
  EXPECT_TRUE(ended);

  static std::atomic<int> reports{0};
  setDiagnosticSink([](std::string_view m) {
    if (m.find("thrower") != std::string_view::npos) ++reports;
  });
  {
    WorkerThread w("thrower", [](std::stop_token) { throw std::runtime_error("boom"); });
  }
  setDiagnosticSink(nullptr);
  EXPECT_EQ(reports.load(), 1);
}

TEST(PeriodicTimer, RunsEachPeriodRestartsAndStopsFromItsOwnProcedure) {
  std::atomic<int> runs{0};
  PeriodicTimer* self = nullptr;
  PeriodicTimer timer("timer", [&] {
    if (++runs == 3) self->stop();  // the procedure may disarm its own timer
  });
  self = &timer;
  EXPECT_FALSE(timer.armed());
  timer.start(10ms);
  for (int i = 0; i < 500 && runs < 3; ++i) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(runs.load(), 3);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(runs.load(), 3);
  EXPECT_FALSE(timer.armed());

  // Re-arming waits a full period again before the first run.
  timer.start(1h);
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(runs.load(), 3);
  timer.start(10ms);
  for (int i = 0; i < 500 && runs < 4; ++i) std::this_thread::sleep_for(5ms);
  EXPECT_GE(runs.load(), 4);

  // Stopped and re-armed before every due time, as the event loop does around each batch:
  // it never runs; once left alone it runs a full period later.
  timer.stop();
  const int before = runs.load();
  for (int i = 0; i < 15; ++i) {
    timer.stop();
    timer.start(100ms);
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(runs.load(), before) << "postponed by every re-arm";
  for (int i = 0; i < 500 && runs == before; ++i) std::this_thread::sleep_for(5ms);
  EXPECT_GT(runs.load(), before);
}  // destruction with the timer armed ends its thread

}  // namespace
}  // namespace vexahv::platform

TEST(JobQueue, RunsInOrderRefusesPastItsBoundAndAnswersWhatWaitsAtStop) {
  std::mutex m;
  std::condition_variable_any cv;
  bool release = false;
  std::vector<int> ran;
  std::atomic<bool> started{false};
  auto queue = std::make_unique<vexahv::platform::JobQueue>("test-jobs", 3);
  ASSERT_TRUE(queue->post([&] {
    started = true;
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return release; });
  }));
  while (!started) std::this_thread::yield();
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(queue->post([&, i] {
      std::lock_guard lock(m);
      ran.push_back(i);
    }));
  }
  EXPECT_FALSE(queue->post([] {})) << "three wait already";
  {
    std::lock_guard lock(m);
    release = true;
  }
  cv.notify_all();
  queue->stop();  // what waits still runs
  EXPECT_EQ(ran, (std::vector<int>{0, 1, 2}));
  EXPECT_FALSE(queue->post([] {})) << "stopped";
}
