// The failed-login table of the administration interfaces, driven through its sans-I/O
// interface with a manual clock: per-address refusal, per-account delay, what a success
// clears, attempts in flight, database failures, and the security log lines.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "admin/LoginFailures.h"
#include "common/Log.h"
#include "transport/Clocks.h"

namespace vh {
namespace {

class LoginFailuresTest : public ::testing::Test {
 protected:
  LoginFailuresTest() {
    auto log = std::make_unique<TMemoryLog>();
    log_ = log.get();
    InstallLog(std::move(log));
  }
  ~LoginFailuresTest() override { DestroyLog(); }

  // One attempt of `account` from `ip` with the given outcome; true when the connection closes.
  bool Try(const std::string& ip, const std::string& account, TLoginOutcome outcome,
           bool* refused = nullptr) {
    TLoginAttempt a = f.Begin(ip, account);
    if (refused) *refused = a.Refused();
    return f.Finish(a, outcome);
  }

  TManualClock clock;
  TLoginFailures f{clock, "tcpquery"};
  TMemoryLog* log_ = nullptr;
};

TEST_F(LoginFailuresTest, ThirdFailureClosesFourthRefusesUntil60SecondsPass) {
  EXPECT_FALSE(Try("10.0.0.1", "0:root", TLoginOutcome::Failure));
  EXPECT_FALSE(Try("10.0.0.1", "0:root", TLoginOutcome::Failure));
  EXPECT_TRUE(Try("10.0.0.1", "0:root", TLoginOutcome::Failure));
  EXPECT_FALSE(f.IsRefused("10.0.0.1"));  // three is not above three
  bool refused = true;
  EXPECT_TRUE(Try("10.0.0.1", "0:root", TLoginOutcome::Failure, &refused));
  EXPECT_FALSE(refused);
  EXPECT_TRUE(f.IsRefused("10.0.0.1"));
  EXPECT_FALSE(f.IsRefused("10.0.0.2"));
  // Refused now, even with the right password; the refusal counts and keeps the address out.
  EXPECT_TRUE(Try("10.0.0.1", "0:root", TLoginOutcome::Success, &refused));
  EXPECT_TRUE(refused);
  clock.Advance(60000);
  EXPECT_TRUE(f.IsRefused("10.0.0.1"));  // 60 seconds is not more than 60
  clock.Advance(1000);
  EXPECT_FALSE(f.IsRefused("10.0.0.1"));
  EXPECT_EQ(f.Count(), 0u);
  EXPECT_TRUE(log_->Contains("address throttled [Interface: tcpquery, IP: 10.0.0.1, Failures: 4]"));
  EXPECT_TRUE(log_->Contains("address released [Interface: tcpquery, IP: 10.0.0.1]"));

  // A clock that went backwards ends the record.
  Try("10.0.0.3", "0:root", TLoginOutcome::Failure);
  clock.Advance(-5000);
  f.Purge();
  EXPECT_EQ(f.Count(), 0u);
}

// The attack of an admin of one virtual server on the super admin: his own good logins in
// between used to clear the address, so the guesses never stopped.
TEST_F(LoginFailuresTest, AnIPv6HostCannotEscapeByCyclingAddressesOfItsSlash64) {
  for (int i = 1; i <= 4; ++i)
    Try("2001:db8:4:4::" + std::to_string(i), "0:root", TLoginOutcome::Failure);
  EXPECT_TRUE(f.IsRefused("2001:db8:4:4:abcd::77"));
  bool refused = false;
  Try("2001:db8:4:4::99", "0:root", TLoginOutcome::Failure, &refused);
  EXPECT_TRUE(refused);
  EXPECT_FALSE(f.IsRefused("2001:db8:4:5::1"));  // the neighbouring /64 is somebody else
}

TEST_F(LoginFailuresTest, GoodLoginsOfOneAccountDoNotClearTheFailuresOfAnother) {
  bool refused = false;
  int guesses = 0;
  for (int round = 0; round < 10 && !refused; ++round) {
    for (int i = 0; i < 2 && !refused; ++i) {
      Try("10.0.0.7", "0:superadmin", TLoginOutcome::Failure, &refused);
      guesses += refused ? 0 : 1;
    }
    if (!refused) Try("10.0.0.7", "1:admin", TLoginOutcome::Success, &refused);
  }
  EXPECT_TRUE(refused);
  EXPECT_EQ(guesses, 4);
  EXPECT_TRUE(f.IsRefused("10.0.0.7"));

  // A success clears its own account's failures from its own address, and only those.
  Try("10.0.0.8", "1:admin", TLoginOutcome::Failure);
  Try("10.0.0.8", "1:admin", TLoginOutcome::Failure);
  Try("10.0.0.8", "0:superadmin", TLoginOutcome::Failure);
  Try("10.0.0.8", "1:admin", TLoginOutcome::Success);
  EXPECT_FALSE(Try("10.0.0.8", "0:superadmin", TLoginOutcome::Failure));  // 2, not 3
  EXPECT_TRUE(Try("10.0.0.8", "0:superadmin", TLoginOutcome::Failure));
  EXPECT_EQ(f.AccountFailures("1:admin"), 2u);  // the account's own count is not cleared
}

TEST_F(LoginFailuresTest, ThirtyAddressesCannotGuessOneAccountFast) {
  // Every address tries as fast as the table lets it, for ten minutes.
  int admitted = 0;
  double delayed = 0;
  for (int second = 0; second < 600; ++second) {
    for (int a = 0; a < 30; ++a) {
      const std::string ip = "192.0.2." + std::to_string(a + 1);
      TLoginAttempt attempt = f.Begin(ip, "0:superadmin");
      if (!attempt.Refused()) {
        ++admitted;
        delayed += attempt.DelayMs();
      }
      f.Finish(attempt, TLoginOutcome::Failure);
    }
    clock.Advance(1000);
  }
  // Four guesses an address; one that keeps trying stays refused. Nothing counted before:
  // each address could guess without end.
  EXPECT_EQ(admitted, 30 * 4);
  EXPECT_EQ(f.AccountDelayMs("0:superadmin"), TLoginFailures::kMaxDelayMs);
  EXPECT_GT(delayed, (admitted - 10) * TLoginFailures::kMaxDelayMs * 0.9);
  EXPECT_TRUE(
      log_->Contains("account throttled [Interface: tcpquery, Failures: 5, DelayMs: 250, "
                     "Account: 0:superadmin]"));

  // The owner, from his own address, is not refused and waits at most the cap.
  TLoginAttempt own = f.Begin("198.51.100.9", "0:superadmin");
  EXPECT_FALSE(own.Refused());
  EXPECT_LE(own.DelayMs(), TLoginFailures::kMaxDelayMs);
  EXPECT_FALSE(f.Finish(own, TLoginOutcome::Success));
  EXPECT_FALSE(f.IsRefused("198.51.100.9"));

  // Ten quiet minutes release the account.
  clock.Advance(TLoginFailures::kAccountRetainMs + 1000);
  f.Purge();
  EXPECT_EQ(f.AccountDelayMs("0:superadmin"), 0);
  EXPECT_TRUE(log_->Contains("account released [Interface: tcpquery, Account: 0:superadmin]"));
}

TEST_F(LoginFailuresTest, DelayGrowsFromTheFifthFailureAndIsCapped) {
  EXPECT_EQ(TLoginFailures::DelayForFailures(4), 0);
  EXPECT_EQ(TLoginFailures::DelayForFailures(5), 250);
  EXPECT_EQ(TLoginFailures::DelayForFailures(6), 500);
  EXPECT_EQ(TLoginFailures::DelayForFailures(9), 4000);
  EXPECT_EQ(TLoginFailures::DelayForFailures(4000000000u), 4000);
}

TEST_F(LoginFailuresTest, AttemptsInFlightCountSoParallelConnectionsCannotAllTry) {
  std::vector<TLoginAttempt> open;
  int refused = 0;
  for (int i = 0; i < 8; ++i) {
    open.push_back(f.Begin("10.0.0.5", "0:root"));
    refused += open.back().Refused() ? 1 : 0;
  }
  EXPECT_EQ(refused, 4);
  for (TLoginAttempt& a : open) f.Finish(a, TLoginOutcome::Failure);
  EXPECT_TRUE(f.IsRefused("10.0.0.5"));
  EXPECT_EQ(f.AccountFailures("0:root"), 4u);  // refused attempts checked no password
}

TEST_F(LoginFailuresTest, DatabaseFailuresAreCountedAgainstNobody) {
  for (int i = 0; i < 10; ++i) {
    EXPECT_FALSE(Try("10.0.0.6", "0:root", TLoginOutcome::NotChecked));
  }
  {
    TLoginAttempt dropped = f.Begin("10.0.0.6", "0:root");  // ends NotChecked when dropped
  }
  EXPECT_FALSE(f.IsRefused("10.0.0.6"));
  EXPECT_EQ(f.AccountFailures("0:root"), 0u);
  EXPECT_EQ(f.Count(), 0u);
}

}  // namespace
}  // namespace vh
