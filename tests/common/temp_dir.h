/* A fresh directory for files a test writes, from a mkdtemp() template
 * ("...XXXXXX", rewritten in place). Returns the template, or NULL. Windows
 * has no mkdtemp: a unique name, then a create that fails if it exists. */
#ifndef KIT_TESTS_TEMP_DIR_H
#define KIT_TESTS_TEMP_DIR_H

#include <stdlib.h>

#ifdef _WIN32
#include <direct.h>
#include <io.h>
#else
#include <unistd.h>
#endif

static inline char* kit_make_temp_dir(char* path_template) {
#ifdef _WIN32
    if (_mktemp(path_template) == NULL || _mkdir(path_template) != 0) return NULL;
    return path_template;
#else
    return mkdtemp(path_template);
#endif
}

#endif /* KIT_TESTS_TEMP_DIR_H */
