// Only includes the log_tools headers. Linked beside a test that includes
// them too, so a header function that lacks `inline` is defined twice.
#include "log_tools/export_format.hpp"
#include "log_tools/log_record.hpp"
