#ifndef BASETYPE_H
#define BASETYPE_H

#include <stddef.h>
#include <stdint.h>

// Truth values travel as 32-bit integers so that records keep the same layout whatever the
// compiler's bool is.
typedef int32_t bool_t;

#ifndef FALSE
#define FALSE 0
#endif
#ifndef TRUE
#define TRUE 1
#endif

#endif
