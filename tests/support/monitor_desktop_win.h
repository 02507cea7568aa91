// Window tests need a desktop. Under Wine without a display this process cannot create windows;
// then the tests can run again in a child Wine session of their own that is given a private
// Xvfb display and a private copy of the prefix.
#pragma once
#include <string>

// True when this process can create windows.
bool monitorDesktopAvailable();
// True in the child run started by runMonitorTestsOnPrivateDisplay.
bool isMonitorDesktopChild();

struct DesktopRun {
    bool ran = false;     // false: not possible here (not Wine, no Xvfb); see `whyNot`
    int exitCode = -1;
    std::string output;
    std::string whyNot;
};

// Runs this test program with a gtest filter in a child Wine session on a fresh Xvfb display
// and waits for it to end.
DesktopRun runMonitorTestsOnPrivateDisplay(const std::string& gtestFilter);
