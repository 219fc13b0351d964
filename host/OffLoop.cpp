#include "host/OffLoop.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

void LowerThisThreadsPriority() {
    // Linux keeps a nice value per thread; raising one's own needs no privilege. Failing, the work
    // runs as it would have.
    constexpr int kBackground = 10;
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), kBackground);
}
