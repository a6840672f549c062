// A DLL for the end-to-end suite to hold loaded while the updater replaces it.
extern "C" __declspec(dllexport) int SamplePluginVersion() { return 1; }
