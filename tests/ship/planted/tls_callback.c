/* A thread-local storage callback, placed where the loader's TLS directory
 * looks for them (.CRT$XL*). */
static void __stdcall OnThread(void *module, unsigned long reason, void *reserved) {
    (void)module;
    (void)reason;
    (void)reserved;
}
__attribute__((section(".CRT$XLB"), used)) void(__stdcall *const ThreadCallback)(void *, unsigned long, void *) =
    OnThread;
