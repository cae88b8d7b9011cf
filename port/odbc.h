// The ODBC headers, included as each system wants them: Windows's need
// <windows.h> first. The narrow (ANSI) functions are the ones used, so that
// GBK bytes pass unchanged on both systems.
#pragma once

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#include <sql.h>
#include <sqlext.h>
