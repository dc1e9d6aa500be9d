#pragma once

// Resource ids of velkaro.rc, shared with the window's code.
#define VELKARO_IDI_PROGRAM 1
#define VELKARO_IDI_LAMP_OFF 101
#define VELKARO_IDI_LAMP_OK 102
#define VELKARO_IDI_LAMP_BAD 103
#define VELKARO_IDI_LAMP_TEST 104
