import { StrictMode } from "react";
import { createRoot } from "react-dom/client";

function App() {
  return <main><h1>tsauthor</h1></main>;
}

const root = document.getElementById("root");
if (!root) throw new Error("The page has no #root element");
createRoot(root).render(
  <StrictMode>
    <App />
  </StrictMode>,
);
