// The three token-pair answers (/auth/login, /auth/verify-email,
// /auth/refresh): one wire shape, three decoders that must agree.
#include "FuzzSupport.h"
#include "model/AuthMessages.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body = Fuzz::bytes(data, size);
    const auto login = Fuzz::decode<LoginResponse>(body);
    const auto verify = Fuzz::decode<VerifyEmailResponse>(body);
    const auto refresh = Fuzz::decode<RefreshTokenResponse>(body);
    Fuzz::check(login.has_value() == verify.has_value() && login.has_value() == refresh.has_value(),
                "the token-pair decoders disagree on whether a body decodes");
    if (login)
        Fuzz::check(TokenPairResponse(*login) == TokenPairResponse(*verify)
                        && TokenPairResponse(*login) == TokenPairResponse(*refresh),
                    "the token-pair decoders disagree on the values");
    return 0;
}
