#include "support/event_codes.h"

#include <algorithm>
#include <iterator>

namespace {

// The texts are the client application's strings of the same identifier.
constexpr EventCodeEntry kEventCodes[] = {
    {-1, nullptr},
    {0, "The operation completed successfully"},
    {1, "Connect error"},
    {2, "Create socket error"},
    {3, "Bad IP address or host name"},
    {4, "Connect to the server error"},
    {5, "Send message to the server error"},
    {6, "Receive message from the server error"},
    {7, "SSL connection error"},
    {8, "SSL connection was closed"},
    {9, "Socket select error"},
    {10, "Client/server protocol mismatch, please upgrade client software"},
    {11, "Login failed"},
    {12, "Login timeout"},
    {13, nullptr},
    {14, "Change password failed"},
    {15, "Change password timeout"},
    {16, "Change password succeeded"},
    {17, "Precess response changepassword message error"},
    {18, nullptr},
    {21, "Send client information error"},
    {22, "Send client information timeout"},
    {23, "Set client parameters error"},
    {24, "Set client parameters timeout"},
    {26, nullptr},
    {31, "Send new key error"},
    {32, "Send new key timeout"},
    {41, "Setup tunnel interface error"},
    {42, "Create tunnel socket error"},
    {43, "Bind tunnel socket error"},
    {44, "Set tunnel socket IO error"},
    {45, "Set tunnel interface route error"},
    {51, "Send keep-alive message error"},
    {52, "Send keep-alive message timeout"},
    {61, "Memory allocation error"},
    {62, "Free memory error"},
    {71, "Process request message error"},
    {72, "Process IP setting message error"},
    {73, "Process route setting message error"},
    {74, "Process key message error"},
    {75, "Parse request message error"},
    {76, "Process server disconnect message error"},
    {77, "Server disconnect for timeout"},
    {78, "Server disconnect for configuration"},
    {79, "Server disconnect because user has log in somewhere else"},
    {80, "User is forced to disconnect by the server"},
    {81, "Process response message error"},
    {82, "Precess response authentication message error"},
    {83, "Process response client-info message error"},
    {84, "Process response key message error"},
    {86, "Receive new paylod type, can't process on current version,please upgrade client software"},
    {87, "Receive new message type, can't process on current version, please upgrade client software"},
    {99, "USB key PIN is incorrect"},
    {103, "Interface IP address should be in the same network with gateway"},
    {104, "Interface IP address conflict"},
    {106, "Can't open multiple tunnel at the same time"},
    {107, nullptr},
    {120, nullptr},
    {1001, "Server Certificate changed. Please try to login from web"},
    {1002, "Server disconnected because connection timeout"},
    {1003, "Incompatible with current server,please upgrade client software"},
    {1004, "Certificate Error"},
    {1006, "User or Password Error"},
    {1007, "Host hardware ID error"},
    {1008, "        Server certificate has not taken effect, please contact with your IT administrator.\n Are you sure to continue?"},
    {1009, "    Server certificate expired, please contact with your IT administrator.\n Are you sure to continue?"},
    {1010, "Subject name of client’s certificate is not correct"},
    {1011, "This user has logged in from other computer"},
    {1012, "Host security check failed"},
    {1013, nullptr},
    {1014, nullptr},
    {1015, "AAA server forbids current user to change password"},
    {1016, "AAA server timeout"},
    {1020, "No IP resource assigned from server"},
    {1021, "Ip has been used"},
    {1024, "Sms Auth timeout!"},
    {1025, "Re-apply for more than limit,please re-enter your username and password for security."},
    {1026, "Re-try for more than limit,please re-enter your username and password for security."},
    {1027, "Sms device error, please contact the administrator!"},
    {1028, "There is wrong auth code,please re-enter!"},
    {1029, "Incorrect phone number. Please contact the administrator."},
    {1030, "No operation of SMS authentication for a long time. You are being logged out."},
    {1031, nullptr},
    {1032, "Can not login to server for Digital Certificate has no CN Field"},
    {1033, "Login mode do not match with server"},
    {4001, "Create timer failed"},
    {4002, "Set timer error"},
    {4003, "Wait objects error"},
    {4004, "Tunnel IO exception"},
    {4010, "Client/server version mismatch, please upgrade client software"},
    {4015, nullptr},
};

}  // namespace

std::span<const EventCodeEntry> EventCodeTable() { return kEventCodes; }

const char* EventCodeText(int code) {
  const auto it = std::find_if(std::begin(kEventCodes), std::end(kEventCodes),
                               [code](const EventCodeEntry& e) { return e.code == code; });
  return it == std::end(kEventCodes) ? nullptr : it->text;
}

bool IsKnownEventCode(int code) {
  return std::any_of(std::begin(kEventCodes), std::end(kEventCodes),
                     [code](const EventCodeEntry& e) { return e.code == code; });
}
