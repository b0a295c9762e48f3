/* A module that only carries registry scripts, for loading as a data file
   from a path of the test's choosing. */
int RegistrarTestModuleMarker(void) { return 0; }
