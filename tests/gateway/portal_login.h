// The portal's login form: POST "/login.html" with the form fields
// txtUserName and txtPasswd (percent-escaped, '+' a blank); the right pair
// gets a portal session cookie, any other answer is the form again.
#pragma once

#include <string>

#include "gateway/portal.h"

namespace vqgw {

inline constexpr char kPortalLoginPath[] = "/login.html";

// The value of a field of an application/x-www-form-urlencoded body,
// unescaped; "" when the body has none.
std::string FormField(const std::string& body, const std::string& name);

// Adds the login form for user and password to portal.
void AddLoginForm(Portal& portal, const std::string& user, const std::string& password);

}  // namespace vqgw
