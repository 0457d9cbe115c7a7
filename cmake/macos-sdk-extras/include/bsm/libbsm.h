// Cross-build stand-in for the macOS SDK's <bsm/libbsm.h>, which Zig does not
// ship. The real header is OpenBSM's user library: building and reading audit
// records (au_open, au_to_*, au_read_rec, ...) and the audit_token_t accessors
// of libbsm.0.dylib. Only the accessors the service calls are declared, with
// the real signatures (audit_token_to_pid(3) and friends, macOS 10.7 and
// later). Never used by a native build, nor on a Mac, where the SDK has the
// real one.
#ifndef NIMBLETRACE_CROSS_BSM_LIBBSM_H
#define NIMBLETRACE_CROSS_BSM_LIBBSM_H

#include <bsm/audit.h>
#include <mach/message.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

pid_t audit_token_to_pid(audit_token_t atoken);
uid_t audit_token_to_euid(audit_token_t atoken);
gid_t audit_token_to_egid(audit_token_t atoken);
int audit_token_to_pidversion(audit_token_t atoken);

#ifdef __cplusplus
}
#endif

#endif
