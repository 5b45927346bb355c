/* A plug-in library for the loader's tests. It appends one line per call to the file named by
   LUMO_TEST_PLUGIN_LOG:
     gethook <argument>
     unhook <argument given to gethook> <"same" if the handle is the one gethook returned>
   Variants (one compile definition each) leave out an export or fail; "refusing" fails and says
   why through hookproblem, with the text of LUMO_TEST_PLUGIN_PROBLEM. */
#include "core/shell/plugin_abi.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int hookMarker;
static char hookedName[256];

static void logLine(const char* what, const char* name, const char* extra)
{
    const char* path = getenv("LUMO_TEST_PLUGIN_LOG");
    if (!path) return;
    FILE* file = fopen(path, "a");
    if (!file) return;
    fprintf(file, "%s %s%s%s\n", what, name, extra[0] ? " " : "", extra);
    fclose(file);
}

#ifndef PLUGIN_NOGETHOOK
void* gethook(const char* libraryPath)
{
    snprintf(hookedName, sizeof hookedName, "%s", libraryPath ? libraryPath : "(null)");
    logLine("gethook", hookedName, "");
#if defined(PLUGIN_NULLHOOK) || defined(PLUGIN_REFUSING)
    return NULL;
#else
    return &hookMarker;
#endif
}
#endif

#ifndef PLUGIN_NOUNHOOK
void unhook(void* hook)
{
    logLine("unhook", hookedName, hook == &hookMarker ? "same" : "other");
}
#endif

#ifdef PLUGIN_REFUSING
const char* hookproblem(void)
{
    return getenv("LUMO_TEST_PLUGIN_PROBLEM");
}
#endif
