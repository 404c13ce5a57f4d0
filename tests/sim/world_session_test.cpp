// Named events are one object per session: worlds built on one session are
// programs side by side in it; a world built alone has a session of its own.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "sim/world.h"

namespace kv27::sim {
namespace {

// Two programs that name the same event get one event: the second creation
// opens it (ERROR_ALREADY_EXISTS, its own reset mode and state ignored), a
// signal set in one is taken in the other, and an auto-reset event wakes one
// waiter only. Another session, another name (names are case-sensitive) or no
// name gives another event; once every handle is closed the name is free.
TEST(WorldSession, NamedEventsAreOneObjectPerSession) {
  auto session = std::make_shared<Session>();
  World a(session), b(session);
  World alone;

  HANDLE inA = a.CreateEventW(nullptr, FALSE, FALSE, u"reply_event");
  ASSERT_NE(inA, nullptr);
  EXPECT_EQ(a.GetLastError(), 0u);
  HANDLE inB = b.CreateEventW(nullptr, TRUE, TRUE, u"reply_event");
  ASSERT_NE(inB, nullptr);
  EXPECT_EQ(b.GetLastError(), ERROR_ALREADY_EXISTS);
  HANDLE local = b.CreateEventW(nullptr, FALSE, FALSE, u"Local\\reply_event");
  EXPECT_EQ(b.GetLastError(), ERROR_ALREADY_EXISTS);
  HANDLE otherCase = b.CreateEventW(nullptr, FALSE, FALSE, u"Reply_Event");
  EXPECT_EQ(b.GetLastError(), 0u);
  HANDLE unnamed = b.CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE elsewhere = alone.CreateEventW(nullptr, FALSE, FALSE, u"reply_event");
  EXPECT_EQ(alone.GetLastError(), 0u);

  // Not signalled at creation (the second creation's state is ignored), and
  // auto-reset: one signal, one waiter.
  EXPECT_EQ(b.WaitForSingleObject(inB, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  ASSERT_TRUE(a.SetEvent(inA));
  EXPECT_EQ(b.WaitForSingleObject(inB, 0), WAIT_OBJECT_0);
  EXPECT_EQ(a.WaitForSingleObject(inA, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  ASSERT_TRUE(b.SetEvent(local));
  EXPECT_EQ(a.WaitForSingleObject(inA, 0), WAIT_OBJECT_0);
  for (HANDLE h : {otherCase, unnamed}) EXPECT_EQ(b.WaitForSingleObject(h, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  ASSERT_TRUE(a.SetEvent(inA));
  EXPECT_EQ(alone.WaitForSingleObject(elsewhere, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(b.WaitForSingleObject(local, 0), WAIT_OBJECT_0);

  for (HANDLE h : {inB, local, otherCase, unnamed}) EXPECT_TRUE(b.CloseHandle(h));
  EXPECT_TRUE(a.CloseHandle(inA));
  EXPECT_TRUE(alone.CloseHandle(elsewhere));
  HANDLE again = b.CreateEventW(nullptr, FALSE, FALSE, u"reply_event");
  EXPECT_EQ(b.GetLastError(), 0u) << "no handle was left: a new event";
  EXPECT_TRUE(b.CloseHandle(again));
  for (World* w : {&a, &b, &alone}) EXPECT_EQ(w->LeakReport(), "");
}

// A wait in one program ends when another program of the session sets the
// event, at once and without its time-out running out.
TEST(WorldSession, SetEventInOneProgramEndsAWaitInAnother) {
  auto session = std::make_shared<Session>();
  World a(session), b(session);
  HANDLE inA = a.CreateEventW(nullptr, FALSE, FALSE, u"reply_event");
  HANDLE inB = b.CreateEventW(nullptr, FALSE, FALSE, u"reply_event");
  const std::uint64_t start = b.Now();
  DWORD result = WAIT_FAILED;
  std::thread waiter([&] { result = b.WaitForSingleObject(inB, 5000); });
  // Let the waiter settle into its wait (real time; this thread, which built
  // both worlds, holds their clocks meanwhile).
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(a.SetEvent(inA));
  waiter.join();
  EXPECT_EQ(result, WAIT_OBJECT_0);
  EXPECT_LT(b.Now() - start, 5000u);
  EXPECT_TRUE(a.CloseHandle(inA));
  EXPECT_TRUE(b.CloseHandle(inB));
}

}  // namespace
}  // namespace kv27::sim
