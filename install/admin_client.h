// Requests to the local AdminService (127.0.0.1:13021) and the admin log.
#pragma once
#include "transport/klv_socket.h"

constexpr unsigned short ADMIN_SERVICE_PORT = 13021;

// The port requests go to (13021); native tests point the client at a listener of their own.
void SetAdminServicePort(unsigned short port);

// KLV_INVALID_SOCKET on failure (no socket library included). Each request returns 0 when it
// could not connect, 1 once its records were sent.
KlvSocket connectToAdminService();
int AdminServiceCreateProcessAsAdmin(const char* program, const char* arguments);
int AdminServiceCreateProcessAsAdminUser(const char* program, const char* arguments, int option);
int AdminServiceSetOrvanePermissions(int value);
// The admin log is written while its switch file is there (checked by CheckAdminDebugging) or
// once SetAdminLogEnabled(true) is called; tests switch it off again.
void CheckAdminDebugging();
void SetAdminLogEnabled(bool enabled);
void WriteAdminLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
