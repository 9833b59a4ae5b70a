"""Native routines over NumPy arrays and ordered database keys."""
