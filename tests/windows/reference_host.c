/*
 * The Linux counterpart of host.c: the same example calls, with the entry points of
 * the Linux libmosslib linked directly, writing the spectra that the Windows DLL's
 * are compared with.
 *
 *   reference_host <out-dir>
 */
#include <stdio.h>
#include <string.h>

#include "example_calls.h"

struct entry {
    const char *name;
    void *fn;
};

static const struct entry entries[] = {
    {"mosslib_version", (void *)mosslib_version},
    {"mosslib_last_error", (void *)mosslib_last_error},
#ifdef MOSSLIB_HAVE_LINESHAPE
    {"sext", (void *)sext},
    {"sextgen", (void *)sextgen},
    {"sextgen_ss", (void *)sextgen_ss},
    {"sextgen_sl", (void *)sextgen_sl},
    {"doubl", (void *)doubl},
    {"VogGenVel_ss", (void *)VogGenVel_ss},
    {"CSTfdll", (void *)CSTfdll},
#endif
#ifdef MOSSLIB_HAVE_SPINHAM
    {"ttt", (void *)ttt},
    {"tkv", (void *)tkv},
#endif
#ifdef MOSSLIB_HAVE_RELAX
    {"parl", (void *)parl},
#endif
};

static void *find_linked(const char *name) {
    for (size_t i = 0; i < sizeof entries / sizeof entries[0]; ++i)
        if (strcmp(entries[i].name, name) == 0) return entries[i].fn;
    return NULL;
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: reference_host <out-dir>\n");
        return 2;
    }
    struct example_host h = {find_linked, NULL, NULL, argv[1]};
    const int ok = run_examples(&h);
    printf("reference: %s\n", ok ? "all checks passed" : "FAILED");
    return ok ? 0 : 1;
}
