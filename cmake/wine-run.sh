#!/usr/bin/env bash
# Runs one Windows program under Wine in the project's test prefix, quietly.
export WINEPREFIX="${VELKARIS_WINEPREFIX:-${WINEPREFIX:-/tmp/velkaris-wine}}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
exec wine "$@"
