"""Data files of the package: models.toml holds the models and their prices."""
