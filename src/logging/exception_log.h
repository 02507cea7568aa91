// Logs a CDfrgException with its code and message as properties.
#pragma once
#include "platform/dfrg_exception.h"

class LogScope;

void logDfrgException(const LogScope& scope, const char* text, const CDfrgException& e);
