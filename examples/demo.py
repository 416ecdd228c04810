"""quillane demo (the classes arrive with the Python binding)."""
import quillane

print(quillane.__doc__)
