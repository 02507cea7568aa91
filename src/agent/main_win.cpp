// The user-session agent: a windowless program that runs in every interactive session (started
// at logon from the machine's Run key) and tells the service, every 750 ms, what only the
// session can see: input, cursor, a full-screen window, the screen saver and the processes that
// own windows. It ends with its session, which ends every process in it.
#include "agent/session_report.h"
#include "monitor/agent_pipe_client.h"
#include "platform/clock.h"
#include "platform/handles_win.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    // One agent per session: a second start (a logon script, a user) leaves at once.
    platform::UniqueHandle single(CreateMutexW(nullptr, FALSE, L"Local\\VelkarisDefragAgent"));
    if (!single || GetLastError() == ERROR_ALREADY_EXISTS) return 0;

    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    agent::CSessionObserver observer(session);
    agent::CAgentPipeClient client;
    bool connected = false;
    for (;;) {
        const DWORD started = GetTickCount();
        // The service may start after the logon or restart: the agent connects again when it can.
        if (!connected) connected = client.connect(agent::kAgentPipeName);
        if (connected) {
            agent::Report report = observer.observe();
            // Stamped when it leaves: the first look at a session (loading the window system)
            // can take longer than a report stays fresh.
            report.sentTick = platform::tickCount();
            if (!client.send(agent::encode(report))) {
                client.close();
                connected = false;
            }
        }
        const DWORD spent = GetTickCount() - started;
        Sleep(spent < agent::kReportPeriodMs ? agent::kReportPeriodMs - spent : 0);
    }
}
