// placeholder until the Windows start-up is written
