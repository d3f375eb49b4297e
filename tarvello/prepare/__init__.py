"""``python3 -m tarvello.prepare``: prepares a CSV file's rows for a model with
the buckets of ``tarvello.custom.model_data.bucket``."""
