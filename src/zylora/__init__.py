"""zylora: add dendrites to chosen modules of a PyTorch network."""
