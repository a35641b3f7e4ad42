// The Enterprise step of connect: the password goes out as a fresh JWE token.
#include "../client/sdk.h"
#include "password_wrap.h"

namespace movra {

// Called by connect with connectMutex held, so no library connect reads the options meanwhile.
void SDK::encryptPassword() {
    std::optional<std::string> token = crypto::wrapPassword(password);
    if (!token) return;  // the options keep pointing where they did
    encryptedPassword = std::move(*token);
    connectOptions.password = encryptedPassword.c_str();
}

}  // namespace movra
