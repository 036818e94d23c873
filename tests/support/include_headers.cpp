// Only includes the network headers. Linked beside a test that includes them
// too, so a header function that lacks `inline` is defined twice.
#include "mail_tools/mime.hpp"
#include "mail_tools/smtp.hpp"
#include "net_tools/tcp_stream"
