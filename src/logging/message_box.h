// Shows a message to the user and waits until it is closed: a message box on Windows; on other
// platforms, which have no window to show, the text goes to standard error.
#pragma once
#include <string>

void showLogMessageBox(const std::string& text, const std::string& caption);
