# Lays out a fresh folder for the end-to-end run: the program, the simulated
# miner as vorn_miner.exe, a plot folder with one plot file, and settings
# naming that folder (as a Wine path).
file(REMOVE_RECURSE ${DIR})
file(MAKE_DIRECTORY ${DIR}/plots ${DIR}/plots2)
file(COPY_FILE ${GUI} ${DIR}/vorn_miner_gui.exe)
file(COPY_FILE ${SIM} ${DIR}/vorn_miner.exe)
file(WRITE ${DIR}/plots/e2e_X2.vorn "plot")
string(REPLACE "/" "\\\\" wine_dir "Z:${DIR}/plots")
file(WRITE ${DIR}/vorn_miner_gui_mainnet_settings.json
  "{\"miner_name\": \"E2E\", \"plot_dirs\": [\"${wine_dir}\"], \"plot_rescan_interval_secs\": 3600}")
