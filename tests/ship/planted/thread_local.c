/* A thread-local variable: MinGW emulates it through its runtime. */
_Thread_local int PerThread = 1;
int ReadPerThread(void) { return PerThread; }
