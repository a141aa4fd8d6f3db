/* A pair of DLLs for the DLL-search tests: upkprobe.dll imports
   upkprobedep.dll. Built with PROBE_DEPENDENCY, this file is the
   dependency. */
#if defined(PROBE_DEPENDENCY)
__declspec(dllexport) int ProbeDependency(void) { return 7; }
#else
__declspec(dllimport) int ProbeDependency(void);
__declspec(dllexport) int Probe(void) { return ProbeDependency(); }
#endif
