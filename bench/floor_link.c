/* The floor benchmark's own arithmetic, compiled from its source, for
 * host_bench to time block by block beside the plug-in: on a shared machine
 * only an interleaved measurement compares like with like. */
#define main floor_bench_main
#include FLOOR_BENCH_SOURCE
#undef main

void* FloorCreate(double rate) {
    Floor* f = malloc(sizeof *f);
    if (f) floor_init(f, rate);
    return f;
}

void FloorProcessDouble(void* f, double** in, double** out, int n) {
    floor_process_d((Floor*)f, in, out, n);
}

void FloorProcessFloat(void* f, float** in, float** out, int n) {
    floor_process_f((Floor*)f, in, out, n);
}

void FloorDestroy(void* f) {
    free(f);
}
