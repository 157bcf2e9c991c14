// A tiny library for the run-time loader's tests: one exported function with a known answer.
extern "C" int faxmail_test_module_answer() { return 42; }
