/* A function marked to run at load (.ctors). */
static int Ready;
__attribute__((constructor)) static void SetReady(void) { Ready = 1; }
int IsReady(void) { return Ready; }
