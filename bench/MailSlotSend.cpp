// Cost of one message through a mailslot: the writer lock, the datagram and
// the receiver's take, and of one thread start and stop.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "common/IPCClient.h"
#include "common/MailSlot.h"
#include "common/ThreadInstance.h"
#include "platform/Process.h"
#include "platform/Thread.h"

using namespace Telvar;

static void BM_SendAndReceive(benchmark::State& state)
{
    std::string name = "bench_" + std::to_string(Platform::currentProcessId());
    MailSlot receiver(IPC_RECEIVER, name);
    IPCClient client(name);
    std::string payload(static_cast<size_t>(state.range(0)), 'p');
    std::vector<std::string> got;
    for (auto _ : state) {
        client.send("LOGMSG", "", payload);
        got.clear();
        receiver.receive(got);
        benchmark::DoNotOptimize(got.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SendAndReceive)->Arg(100)->Arg(4000)->Arg(60000);

static int32_t quitting(void*)
{
    Platform::ThreadMessage m;
    for (;;)
        if (Platform::waitThreadMessage(m, 1000) >= 0 && m.message == Platform::MSG_DESTROY)
            return 0;
}

static void BM_ThreadStartStop(benchmark::State& state)
{
    ThreadInstance job(quitting, nullptr);
    for (auto _ : state) {
        job.execute();
        job.stop(true, 0, 0);
    }
}
BENCHMARK(BM_ThreadStartStop);

BENCHMARK_MAIN();
