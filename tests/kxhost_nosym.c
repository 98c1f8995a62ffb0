/* A shared library that is not the plug-in: it loads, but has none of the
   entry points the host looks for. */
int kxhost_not_a_plugin(void) { return 42; }
