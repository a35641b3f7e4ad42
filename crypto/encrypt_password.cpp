// The Enterprise step of connect: the password goes out as a fresh JWE token.
#include "../client/sdk.h"
#include "password_wrap.h"

namespace movra {

// Called by connect with connectMutex held, so no library connect reads the options meanwhile.
// A failed wrap leaves the options as they were: at the last token if one was made since init, or
// at the plain password, which connect then refuses to send.
bool SDK::encryptPassword() {
    std::optional<std::string> token = crypto::wrapPassword(password);
    if (token) {
        encryptedPassword = std::move(*token);
        connectOptions.password = encryptedPassword.c_str();
        passwordWrapped = true;
    }
    return passwordWrapped;
}

}  // namespace movra
