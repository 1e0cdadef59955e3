#include "support/SignalState.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <cstdlib>
#include <cstring>
#include <thread>

namespace qmtest {

ScopedDisposition::ScopedDisposition(int number, void (*handler)(int)) : number_(number) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    EXPECT_EQ(0, ::sigaction(number, &action, &previous_)) << std::strerror(errno);
}

ScopedDisposition::~ScopedDisposition() { ::sigaction(number_, &previous_, nullptr); }

void runAsTheDaemonDoes(const std::function<void()>& body) {
    const ScopedDisposition pipe(SIGPIPE, SIG_IGN);
    const ScopedDisposition hangUp(SIGHUP, SIG_IGN);
    std::thread runner([&body] {
        sigset_t blocked;
        sigemptyset(&blocked);
        for (int number : {SIGINT, SIGQUIT, SIGTERM, SIGUSR1}) sigaddset(&blocked, number);
        EXPECT_EQ(0, ::pthread_sigmask(SIG_BLOCK, &blocked, nullptr));
        body();
    });
    runner.join();
}

namespace {

unsigned long long signalSet(const std::string& statusText, const std::string& name) {
    const std::size_t at = statusText.find(name + ":\t");
    if (at == std::string::npos) return ~0ULL;
    return std::strtoull(statusText.c_str() + at + name.size() + 2, nullptr, 16);
}

}  // namespace

SignalSets signalSetsOf(const std::string& statusText) {
    return SignalSets{signalSet(statusText, "SigIgn"), signalSet(statusText, "SigBlk")};
}

}  // namespace qmtest
