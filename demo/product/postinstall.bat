@echo Sample Editor 2.0 installed> installed.txt
