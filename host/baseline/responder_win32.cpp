// Windows has no ptys for the baseline responder to serve.
#include "host/baseline/responder.h"

namespace zolhost {

struct Responder::Impl {};

Responder::Responder() = default;
Responder::~Responder() = default;

bool Responder::Start(const std::string&, bool, std::string* error) {
    *error = "the baseline responder needs POSIX ptys, which this system does not have";
    return false;
}

void Responder::Stop() {}

DrainedTerminal* Responder::Terminal() {
    return nullptr;
}

}  // namespace zolhost
