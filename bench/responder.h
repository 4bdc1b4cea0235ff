/* The benchmark's reader, run in a child process of the bench. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

/* The station the responder answers; every other one gets silence. */
#define BENCH_STATION 1
/* Registers from here up do not exist: reads get exception 02. */
#define BENCH_MISSING_ADDRESS 0xF000

/* Serves ptyMaster (RTU) and every connection accepted on listenFd (TCP)
 * until stopFd becomes readable or hangs up. */
void BenchResponderRun(int ptyMaster, int listenFd, int stopFd);

#ifdef __cplusplus
}
#endif
