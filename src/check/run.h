// One run of zymran-check over the images of its command line.
#ifndef ZYMRAN_CHECK_RUN_H
#define ZYMRAN_CHECK_RUN_H

#include "check/options.h"

namespace check {

// Reads the hosts, checks each image under each of them, writes the report
// to `streams.out` image by image and what could not be checked to
// `streams.err`. Returns the exit status.
int runCheck(const Options& options, Streams streams);

}  // namespace check

#endif
