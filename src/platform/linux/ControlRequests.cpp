#include "platform/ControlRequests.h"

#include <cerrno>
#include <mutex>
#include <pthread.h>
#include <signal.h>

namespace Telvar {
namespace Platform {

namespace {

std::mutex g_lock;
ControlHandler g_handler;  // guarded by g_lock
sigset_t g_signals;

void* waiter(void*)
{
    for (;;) {
        int signal = 0;
        if (sigwait(&g_signals, &signal) != 0)
            continue;
        ControlHandler handler;
        {
            std::lock_guard<std::mutex> guard(g_lock);
            handler = g_handler;
        }
        if (handler)
            handler(signal == SIGHUP ? ControlRequest::RECONFIGURE : ControlRequest::STOP);
    }
    return nullptr;
}

} // namespace

bool startControlRequests(ControlHandler handler)
{
    std::lock_guard<std::mutex> guard(g_lock);
    bool first = !g_handler;
    g_handler = std::move(handler);
    if (!first)
        return true;
    sigemptyset(&g_signals);
    sigaddset(&g_signals, SIGTERM);
    sigaddset(&g_signals, SIGINT);
    sigaddset(&g_signals, SIGHUP);
    // Blocked here, and so in every thread made from now on: only the
    // waiter takes them, synchronously.
    if (pthread_sigmask(SIG_BLOCK, &g_signals, nullptr) != 0)
        return false;
    // An ignored signal is dropped before sigwait could see it, and a shell
    // starts background commands with SIGINT ignored.
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        ::signal(signal, SIG_DFL);
    pthread_t thread;
    if (pthread_create(&thread, nullptr, waiter, nullptr) != 0) {
        pthread_sigmask(SIG_UNBLOCK, &g_signals, nullptr);
        g_handler = nullptr;
        return false;
    }
    pthread_setname_np(thread, "signals");
    pthread_detach(thread);
    return true;
}

} // namespace Platform
} // namespace Telvar
