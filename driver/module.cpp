// The loadable module is the driver's code archive linked whole; DriverEntry, declared by the
// kernel headers as the module's entry point, is its one export.
