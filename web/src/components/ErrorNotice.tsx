import { errorDetails, plainMessage } from "../errors/messages";

/** An error in plain words, with the engine's description behind "Details". */
export function ErrorNotice({ error, title }: { error: unknown; title?: string }) {
  if (!error) return null;
  return (
    <div role="alert" className="error-notice">
      <p>
        {title ? <strong>{title} </strong> : null}
        {plainMessage(error)}
      </p>
      <details>
        <summary>Details</summary>
        <p className="error-details">{errorDetails(error)}</p>
      </details>
    </div>
  );
}
