/* Every export of zqlusb.dll as a program built against an import library
 * sees it; the table itself is generated from zqlusb.def at build time. */
#ifndef ZQLUSB_EXPORT_TABLE_H
#define ZQLUSB_EXPORT_TABLE_H

typedef void (*zqlusb_any_function)(void);

struct zqlusb_export {
    const char *name;                /* the undecorated export name */
    int ordinal;                     /* its ordinal in zqlusb.def */
    zqlusb_any_function function;    /* the caller's reference, through the import thunk */
    const zqlusb_any_function *slot; /* the import address table entry (__imp_...) */
};

extern const struct zqlusb_export zqlusb_exports[];
extern const int zqlusb_export_count;

#endif
