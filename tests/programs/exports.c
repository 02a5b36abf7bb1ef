/* A DLL whose .def exports by name, by ordinal alone, data, and forwarders. */
int exp_add(int a, int b) { return a + b; }
int exp_hidden(void) { return 5; }
int exp_value = 42;
