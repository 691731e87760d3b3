// Helpers shared by the tests.
#ifndef HALVOREN_TEST_SUPPORT_H
#define HALVOREN_TEST_SUPPORT_H

#include <string>

// Number of threads of this process right now.
int process_thread_count();

#endif
