/*
 * A Windows host as a fitting program uses the library: it loads mosslib.dll with
 * LoadLibrary, finds the entry points by their plain names with GetProcAddress and
 * calls them through stdcall function pointers (on 32-bit x86 a wrong convention or
 * argument size corrupts the stack and the checks below fail or the host crashes).
 *
 *   host <dll> <out-dir>          every example call; spectra to <out-dir>/<export>.hex;
 *                                 the priority class is reset to normal before each
 *                                 call and checked after it; per-thread error text
 *   host <dll> <out-dir> pc53     the same with the x87 unit at 53-bit precision, as
 *                                 hosts built with Microsoft's compiler run
 *   host <dll> - doubl-first      a fresh process: doubl leaves the priority class
 *                                 alone, the next export lowers it to idle
 *
 * Exit status 0 when every check passed.
 */
#include <windows.h>

#include <float.h>
#include <stdio.h>

#include "example_calls.h"

static HMODULE g_dll;

static void *find_export(const char *name) { return (void *)GetProcAddress(g_dll, name); }

static void reset_priority(void) { SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS); }

static int check_priority(const char *name, int lowers) {
    const DWORD want = lowers ? IDLE_PRIORITY_CLASS : NORMAL_PRIORITY_CLASS;
    const DWORD got = GetPriorityClass(GetCurrentProcess());
    if (got != want) {
        fprintf(stderr, "%s: priority class 0x%lx after the call, expected 0x%lx\n", name,
                (unsigned long)got, (unsigned long)want);
        return 0;
    }
    return 1;
}

#ifdef MOSSLIB_HAVE_SPINHAM
/* A refused call on a second thread: tkv needs 256 channels. Its reason must be
 * visible on that thread only. */
struct refusal {
    char reason[512];
};

static DWORD WINAPI refuse_on_thread(LPVOID arg) {
    struct refusal *out = (struct refusal *)arg;
    tkv_fn f_tkv = (tkv_fn)find_export("tkv");
    text_fn last_error = (text_fn)find_export("mosslib_last_error");
    int32_t ints[27];
    double reals[37], measured[256] = {0};
    tkv_ints(ints);
    ints[5] = 128;
    ttt_reals(reals);
    (void)f_tkv(ints, reals, measured);
    snprintf(out->reason, sizeof out->reason, "%s", last_error());
    return 0;
}

static int check_error_is_per_thread(void) {
    text_fn last_error = (text_fn)find_export("mosslib_last_error");
    struct refusal r = {{0}};
    HANDLE t = CreateThread(NULL, 0, refuse_on_thread, &r, 0, NULL);
    if (!t) {
        fprintf(stderr, "CreateThread failed\n");
        return 0;
    }
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
    int ok = 1;
    if (r.reason[0] == '\0') {
        fprintf(stderr, "tkv with 128 channels: no reason on its thread\n");
        ok = 0;
    }
    if (last_error()[0] != '\0') {
        fprintf(stderr, "the refusal on another thread shows on the main thread: '%s'\n",
                last_error());
        ok = 0;
    }
    return ok;
}
#endif

static int doubl_first(void) {
#ifdef MOSSLIB_HAVE_LINESHAPE
    if (!check_priority("process start", 0)) return 0;
    analytic_fn f_doubl = (analytic_fn)find_export("doubl");
    analytic_fn f_sext = (analytic_fn)find_export("sext");
    text_fn version = (text_fn)find_export("mosslib_version");
    if (!f_doubl || !f_sext || !version) {
        fprintf(stderr, "doubl, sext or mosslib_version not found\n");
        return 0;
    }
    double spectrum[256];
    const struct analytic_example *doublet = &analytic_examples[4];
    const struct analytic_example *sextet = &analytic_examples[0];
    int ok = 1;
    for (int i = 0; i < 2; ++i) {
        const double r = f_doubl(doublet->p, spectrum);
        if (r != 0.1) {
            fprintf(stderr, "doubl returned %.17g, not 0.1\n", r);
            ok = 0;
        }
        ok &= check_priority("doubl", 0);
    }
    (void)version();
    ok &= check_priority("mosslib_version", 0);
    const double r = f_sext(sextet->p, spectrum);
    if (r != 0.1) {
        fprintf(stderr, "sext returned %.17g, not 0.1\n", r);
        ok = 0;
    }
    ok &= check_priority("sext after doubl", 1);
    return ok;
#else
    printf("no analytic entry points in this library yet: nothing to check\n");
    return 1;
#endif
}

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: host <dll> <out-dir> [pc53 | doubl-first]\n");
        return 2;
    }
    const char *mode = argc > 3 ? argv[3] : "";
    g_dll = LoadLibraryA(argv[1]);
    if (!g_dll) {
        fprintf(stderr, "LoadLibrary(%s) failed: error %lu\n", argv[1], (unsigned long)GetLastError());
        return 1;
    }

    int ok;
    if (strcmp(mode, "doubl-first") == 0) {
        ok = doubl_first();
    } else {
        if (strcmp(mode, "pc53") == 0) {
#if defined(_M_IX86) || defined(__i386__)
            _controlfp(_PC_53, _MCW_PC);
#else
            fprintf(stderr, "pc53: the x87 precision is fixed on 64-bit Windows\n");
            return 2;
#endif
        }
        struct example_host h = {find_export, reset_priority, check_priority, argv[2]};
        ok = run_examples(&h);
#ifdef MOSSLIB_HAVE_SPINHAM
        ok &= check_error_is_per_thread();
#endif
    }

    if (!FreeLibrary(g_dll)) {
        fprintf(stderr, "FreeLibrary failed: error %lu\n", (unsigned long)GetLastError());
        ok = 0;
    }
    printf("%s: %s\n", mode[0] ? mode : "examples", ok ? "all checks passed" : "FAILED");
    return ok ? 0 : 1;
}
