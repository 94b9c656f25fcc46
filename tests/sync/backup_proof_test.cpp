// placeholder, filled in by the owner of this file
