#ifndef KEST_TEST_HEADER_FROM_C_H
#define KEST_TEST_HEADER_FROM_C_H

#ifdef __cplusplus
extern "C" {
#endif

/* 1 if the exports behave, as seen from C, as they do without the library attached. */
int kestHeaderDeclarationsFromC(void);

#ifdef __cplusplus
}
#endif

#endif
