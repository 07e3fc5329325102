// Placeholder until the install services are written; delete when a real source exists.
