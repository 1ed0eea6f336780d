#pragma once

namespace castora::engine {

// A server that drops the source connection must not end the program: with SIGPIPE ignored a
// write to the dead socket fails with EPIPE and the send loop reconnects.
void ignoreBrokenPipe();

} // namespace castora::engine
