// Placeholder until the transport is written; delete when a real source exists.
