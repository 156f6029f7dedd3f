import type { ValidationFinding } from "../api/types";

export function findingsOf(answer: unknown): ValidationFinding[] {
  if (Array.isArray(answer)) return answer as ValidationFinding[];
  if (answer && typeof answer === "object" && Array.isArray((answer as { findings?: unknown }).findings)) {
    return (answer as { findings: ValidationFinding[] }).findings;
  }
  return [];
}

/** The check's findings, each with a way to the node it is about. */
export function FindingsList({ findings, onShowNode }: { findings: ValidationFinding[]; onShowNode(nodeId: number): void }) {
  if (findings.length === 0) return null;
  return (
    <ul>
      {findings.map((f, i) => (
        <li key={i}>
          <strong>{f.severity === "error" ? "Error" : "Warning"}:</strong> {f.message}{" "}
          {f.node >= 0 ? (
            <button type="button" onClick={() => onShowNode(f.node)}>
              Show node {f.node}
            </button>
          ) : null}
        </li>
      ))}
    </ul>
  );
}
