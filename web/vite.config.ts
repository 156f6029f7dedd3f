import { defineConfig } from "vite";
import react from "@vitejs/plugin-react";

// The app is served by `tsauthor serve` from dist/; during development the
// Vite server forwards the engine's endpoints to a running service.
const engine = process.env.TSAUTHOR_URL ?? "http://127.0.0.1:8470";

export default defineConfig({
  plugins: [react()],
  build: {
    outDir: "dist",
    assetsDir: "assets",
    sourcemap: true,
  },
  server: {
    proxy: {
      "/rpc": engine,
      "/auth": engine,
      "/trees": engine,
      "/health": engine,
    },
  },
  test: {
    environment: "jsdom",
    include: ["src/**/*.test.{ts,tsx}"],
  },
});
