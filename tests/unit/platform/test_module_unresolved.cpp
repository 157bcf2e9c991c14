// A library that needs a function nobody provides: loading it with every symbol resolved at
// once must fail.
extern "C" int faxmail_test_symbol_nobody_defines();
extern "C" int faxmail_test_module_answer() { return faxmail_test_symbol_nobody_defines(); }
