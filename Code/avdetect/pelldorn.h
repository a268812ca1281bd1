// The one export of libPelldorn.so, bound by name: is a process of a listed
// antivirus product running? Reads "signatures.ini" and appends to
// "PelldornLog.txt", both in the caller's current directory.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define PELLDORN_DETECTED 1        /* a process named in the signature file runs */
#define PELLDORN_NOT_DETECTED 0    /* no such process runs */
#define PELLDORN_NO_SIGNATURES (-1) /* the signature file yielded no sections */
#define PELLDORN_NO_PROCESS_LIST (-2) /* the process list cannot be taken */
#define PELLDORN_FAULT (-3)        /* an unexpected fault while reading or comparing */

__attribute__((visibility("default"))) int32_t PelldornProc(void);

#ifdef __cplusplus
}
#endif
