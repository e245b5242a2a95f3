// A library at the upgrade library's place that lacks its export.
extern "C" __declspec(dllexport) int letsStopUpgrade() { return 0; }
