// The shared library is the ASIO code archive linked whole; its exports are the COM server's
// entry points, declared with their export attribute by the user-mode headers.
