// Placeholder until the pipeline lands.
