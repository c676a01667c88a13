/*
 * A Windows host as a fitting program uses the library: it loads mosslib.dll with
 * LoadLibrary, finds the entry points by their plain names with GetProcAddress and
 * calls them through stdcall function pointers (on 32-bit x86 a wrong convention or
 * argument size corrupts the stack and the checks below fail or the host crashes).
 *
 *   host <dll> <out-dir>          every example call; spectra to <out-dir>/<export>.hex;
 *                                 the priority class is reset to normal before each
 *                                 call and checked after it; per-thread error text
 *   host <dll> <out-dir> host-fpu the same, each call made with the floating-point
 *                                 control state of a demanding host: x87 at 53-bit
 *                                 precision (as Microsoft's run-time sets it), rounding
 *                                 toward zero, flush-to-zero, and the invalid,
 *                                 zero-divide and overflow exceptions unmasked; the
 *                                 spectra must not change, the host's state must come
 *                                 back unchanged, and zero widths must return normally
 *   host <dll> - doubl-first      a fresh process: doubl leaves the priority class
 *                                 alone, the next export lowers it to idle
 *
 * Exit status 0 when every check passed.
 */
#include <windows.h>

#include <stdio.h>
#include <xmmintrin.h>

#include "example_calls.h"

static HMODULE g_dll;

static void *find_export(const char *name) { return (void *)GetProcAddress(g_dll, name); }

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

/* The demanding host's floating-point control state. x87: exceptions invalid,
 * zero-divide and overflow unmasked, 53-bit precision, round toward zero. MXCSR: the
 * same three unmasked, round toward zero, flush-to-zero and denormals-are-zero. */
enum { HOST_X87_CW = 0x0E72, HOST_MXCSR = 0xF940, MXCSR_FLAGS = 0x3F };

static int g_host_fpu;

static unsigned short x87_control(void) {
    unsigned short cw;
    __asm__ __volatile__("fnstcw %0" : "=m"(cw));
    return cw;
}

static void set_x87_control(unsigned short cw) { __asm__ __volatile__("fnclex\n\tfldcw %0" : : "m"(cw)); }

static unsigned short g_plain_x87;
static unsigned int g_plain_mxcsr;

static void before_call(void) {
    SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
    if (g_host_fpu) {
        g_plain_x87 = x87_control();
        g_plain_mxcsr = _mm_getcsr();
        set_x87_control(HOST_X87_CW);
        _mm_setcsr(HOST_MXCSR);
    }
}

static int after_call(const char *name, int lowers) {
    int ok = 1;
    if (g_host_fpu) {
        const unsigned short cw = x87_control();
        const unsigned int csr = _mm_getcsr();
        set_x87_control(g_plain_x87);
        _mm_setcsr(g_plain_mxcsr);
        if (cw != HOST_X87_CW || (csr & ~MXCSR_FLAGS) != HOST_MXCSR) {
            fprintf(stderr, "%s: host x87 control 0x%04x, MXCSR 0x%04x after the call; set 0x%04x, 0x%04x\n",
                    name, cw, csr, HOST_X87_CW, HOST_MXCSR);
            ok = 0;
        }
    }
    return check_priority(name, lowers) && ok;
}

/* Zero widths give non-finite values, and a host with unmasked exceptions must get
 * them back as values, not as a hardware exception. */
static int zero_widths_return(void) {
    int ok = 1;
#ifdef MOSSLIB_HAVE_LINESHAPE
    static const struct {
        const char *name;
        int width_index;
    } cases[] = {{"sext", 4}, {"sextgen", 14}, {"doubl", 3}, {"VogGenVel_ss", 14}};
    for (size_t k = 0; k < sizeof cases / sizeof cases[0]; ++k) {
        const struct analytic_example *e = analytic_example_named(cases[k].name);
        analytic_fn f = (analytic_fn)find_export(e->name);
        double p[23], spectrum[EXAMPLE_MAX_CHANNELS];
        memcpy(p, e->p, sizeof p);
        p[cases[k].width_index] = 0;
        before_call();
        const double r = f(p, spectrum);
        ok &= after_call(e->name, e->lowers_priority);
        int finite = 1;
        for (int i = 0; i < e->channels; ++i) finite &= isfinite(spectrum[i]) != 0;
        if (r != 0.1 || finite) {
            fprintf(stderr, "%s with a zero width: returned %g, %s\n", e->name, r,
                    finite ? "all channels finite" : "non-finite channels");
            ok = 0;
        }
    }
#endif
#ifdef MOSSLIB_HAVE_SPINHAM
    ttt_fn f_ttt = (ttt_fn)find_export("ttt");
    int32_t ints[10];
    double reals[37], spectrum[256];
    memcpy(ints, ttt_ints, sizeof ints);
    ttt_reals(reals);
    reals[29] = 0; /* width */
    before_call();
    const int32_t r = f_ttt(ints, reals, spectrum);
    ok &= after_call("ttt", 1);
    if (r != 2) {
        fprintf(stderr, "ttt with a zero width returned %d\n", (int)r);
        ok = 0;
    }
#endif
    return ok;
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

#if defined(MOSSLIB_HAVE_SPINHAM) || defined(MOSSLIB_HAVE_RELAX)
/* The engines keep their work space per thread (thread_local, which MinGW emulates on
 * top of the statically linked thread library): two threads running the engines at
 * the same time must each get the spectra of a lone call, to the last bit. */
enum { ENGINE_ROUNDS = 3, ENGINE_THREADS = 2 };

struct engine_spectra {
    double ttt[256], parl[256];
};

static void run_engines(struct engine_spectra *out) {
#ifdef MOSSLIB_HAVE_SPINHAM
    ttt_fn f_ttt = (ttt_fn)find_export("ttt");
    double reals[37];
    ttt_reals(reals);
    (void)f_ttt(ttt_ints, reals, out->ttt);
#endif
#ifdef MOSSLIB_HAVE_RELAX
    parl_fn f_parl = (parl_fn)find_export("parl");
    double db[29];
    parl_db(db);
    (void)f_parl(parl_ib, db, out->parl);
#endif
}

static struct engine_spectra g_lone;

static DWORD WINAPI engines_on_thread(LPVOID arg) {
    int *mismatches = (int *)arg;
    for (int round = 0; round < ENGINE_ROUNDS; ++round) {
        struct engine_spectra s;
        memset(&s, 0, sizeof s);
        run_engines(&s);
        if (memcmp(&s, &g_lone, sizeof s) != 0) ++*mismatches;
    }
    return 0;
}

static int check_engines_per_thread(void) {
    memset(&g_lone, 0, sizeof g_lone);
    run_engines(&g_lone);
    HANDLE threads[ENGINE_THREADS];
    int mismatches[ENGINE_THREADS] = {0};
    for (int t = 0; t < ENGINE_THREADS; ++t) {
        threads[t] = CreateThread(NULL, 0, engines_on_thread, &mismatches[t], 0, NULL);
        if (!threads[t]) {
            fprintf(stderr, "CreateThread failed\n");
            return 0;
        }
    }
    WaitForMultipleObjects(ENGINE_THREADS, threads, TRUE, INFINITE);
    int ok = 1;
    for (int t = 0; t < ENGINE_THREADS; ++t) {
        CloseHandle(threads[t]);
        if (mismatches[t]) {
            fprintf(stderr, "thread %d: %d of %d engine runs differ from a lone run\n", t, mismatches[t],
                    ENGINE_ROUNDS);
            ok = 0;
        }
    }
    return ok;
}
#endif

/* A host may unload the DLL while a thread that called it still runs. That thread's
 * per-thread state is cleaned up by the DLL's code when the thread ends, so once a
 * model has run the DLL pins itself: FreeLibrary succeeds, the DLL stays loaded, and
 * the thread ends cleanly later. */
struct lingering {
    HANDLE called_event, go_on;
    int called;
};

static DWORD WINAPI call_then_linger(LPVOID arg) {
    struct lingering *l = (struct lingering *)arg;
    text_fn last_error = (text_fn)find_export("mosslib_last_error");
    l->called = last_error != NULL && last_error()[0] == '\0';
#ifdef MOSSLIB_HAVE_LINESHAPE
    {
        analytic_fn f = (analytic_fn)find_export("sextgen_ss");
        double spectrum[256];
        l->called &= f != NULL && f(analytic_example_named("sextgen_ss")->p, spectrum) == 0.1;
    }
#endif
#if defined(MOSSLIB_HAVE_SPINHAM) || defined(MOSSLIB_HAVE_RELAX)
    {
        struct engine_spectra s;
        run_engines(&s);
    }
#endif
    SetEvent(l->called_event);
    WaitForSingleObject(l->go_on, INFINITE);
    return 7;
}

static int unload_with_caller_alive(void) {
    struct lingering l = {CreateEventA(NULL, TRUE, FALSE, NULL), CreateEventA(NULL, TRUE, FALSE, NULL), 0};
    HANDLE t = l.called_event && l.go_on ? CreateThread(NULL, 0, call_then_linger, &l, 0, NULL) : NULL;
    if (!t) {
        fprintf(stderr, "CreateEvent or CreateThread failed\n");
        return 0;
    }
    WaitForSingleObject(l.called_event, INFINITE);
    int ok = l.called;
    if (!ok) fprintf(stderr, "the lingering thread's calls failed\n");
    if (!FreeLibrary(g_dll)) {
        fprintf(stderr, "FreeLibrary failed: error %lu\n", (unsigned long)GetLastError());
        ok = 0;
    }
#if defined(MOSSLIB_HAVE_LINESHAPE) || defined(MOSSLIB_HAVE_SPINHAM) || defined(MOSSLIB_HAVE_RELAX)
    if (GetModuleHandleA("mosslib.dll") == NULL) {
        fprintf(stderr, "the DLL was unloaded although models ran on a thread that lives on\n");
        ok = 0;
    }
#endif
    SetEvent(l.go_on);
    DWORD code = 0;
    if (WaitForSingleObject(t, 10000) != WAIT_OBJECT_0 || !GetExitCodeThread(t, &code) || code != 7) {
        fprintf(stderr, "the thread that called the DLL did not end cleanly after the unload\n");
        ok = 0;
    }
    CloseHandle(t);
    CloseHandle(l.called_event);
    CloseHandle(l.go_on);
    return ok;
}

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
    const struct analytic_example *doublet = analytic_example_named("doubl");
    const struct analytic_example *sextet = analytic_example_named("sext");
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
        fprintf(stderr, "usage: host <dll> <out-dir> [host-fpu | doubl-first]\n");
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
        g_host_fpu = strcmp(mode, "host-fpu") == 0;
        struct example_host h = {find_export, before_call, after_call, argv[2]};
        ok = run_examples(&h);
        if (g_host_fpu) ok &= zero_widths_return();
        if (!g_host_fpu) {
#ifdef MOSSLIB_HAVE_SPINHAM
            ok &= check_error_is_per_thread();
#endif
#if defined(MOSSLIB_HAVE_SPINHAM) || defined(MOSSLIB_HAVE_RELAX)
            ok &= check_engines_per_thread();
#endif
        }
    }

    ok &= unload_with_caller_alive();
    printf("%s: %s\n", mode[0] ? mode : "examples", ok ? "all checks passed" : "FAILED");
    return ok ? 0 : 1;
}
