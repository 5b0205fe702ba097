// Keeps the object library non-empty while the plug-in sources are being written.
