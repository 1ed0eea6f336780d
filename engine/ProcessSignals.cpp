#include "ProcessSignals.h"

#include <csignal>

namespace castora::engine {

void ignoreBrokenPipe() {
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

} // namespace castora::engine
