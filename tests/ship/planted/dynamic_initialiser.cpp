// A global whose value is computed at load: the compiler leaves its
// initialiser to the C runtime's start-up (.ctors), which the DLL does not run.
int Seed = 3;
int Derived = Seed * 2;
