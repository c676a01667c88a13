// The arc tangent of the Windows DLL. MinGW-w64's static run-time supplies sin, cos,
// exp, log and pow, computed on the x87 unit; atan alone it takes from msvcrt.dll,
// whose implementation differs between Windows versions (and Wine), so that the
// DLL's results would depend on the machine it runs on. Linked before the run-time
// libraries, this definition keeps every elementary function inside the DLL: fpatan
// at 64-bit precision (set at every export's entry, export_frame.h), rounded once to
// double, which agrees with glibc's atan far more often than msvcrt's does.
extern "C" double atan(double x) {
    long double r;
    __asm__("fld1\n\tfpatan" : "=t"(r) : "0"(static_cast<long double>(x)));
    return static_cast<double>(r);
}
